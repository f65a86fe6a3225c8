// Recording panel port.
#include "tests/native/fakes/FakePorts.h"

#include <algorithm>
#include <cstdio>

std::string PanelCode(std::uint16_t command) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", command);
    return text;
}

bool RecordingPanelPort::Fallible() {
    const bool fails = m_requests++ == m_failAt;
    if (fails) m_lastError = 2;
    return !fails;
}

bool RecordingPanelPort::open() {
    m_log->Add("open");
    if (m_connected) return true;
    m_connected = Fallible();
    return m_connected;
}

bool RecordingPanelPort::close() {
    m_log->Add("close");
    m_connected = false;
    return true;
}

bool RecordingPanelPort::shutdown() {
    m_log->Add("shutdown");
    return close();
}

bool RecordingPanelPort::sendCommand(std::uint16_t length, std::uint16_t command, std::uint8_t attempt,
                                     const std::uint8_t* data) {
    std::string line = "send ";
    line += PanelCode(command);
    if (attempt != 0) {
        line += " attempt ";
        line += std::to_string(attempt);
    }
    if (command == 0xE007) {
        line += ' ';
        line += std::to_string(length);
        line += " bytes";
        m_log->AddBlock(std::vector<std::uint8_t>(data, data + length));
    } else if (length > 0) {
        line += " \"";
        line.append(data, data + length);
        line += '"';
    }
    m_log->Add(line);
    if (!m_connected) {
        m_lastError = 2;
        return false;
    }
    return Fallible();
}

bool RecordingPanelPort::receiveReply(std::uint16_t command, int maxSize) {
    m_log->Add("receive " + PanelCode(command) + " " + std::to_string(maxSize));
    if (m_gate) m_gate->WaitOpen();
    if (!m_connected || std::count(m_silentCodes.begin(), m_silentCodes.end(), command) > 0) {
        m_lastError = 2;
        return false;
    }
    return Fallible();
}

void RecordingPanelPort::setHost(const std::wstring& host) {
    std::string narrow;
    for (wchar_t c : host) narrow.push_back(static_cast<char>(c));
    m_log->Add("host " + narrow);
}
