// The panel port's system seam for tests: named mutexes that are only counted (and known to be
// held while their objects live), and ANSI text taken one byte per character.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/Text.h"
#include "ports/PanelNetworkPort.h"

class RecordingPanelSystem final : public IPanelPortSystem {
public:
    std::unique_ptr<IHeldSystemObject> CreateNamedMutex(std::wstring_view name) override {
        m_mutexNames.emplace_back(name);
        if (m_failMutex) return nullptr;
        return std::make_unique<Held>(m_held);
    }
    std::wstring FromSystemAnsi(std::string_view text) override { return text::WidenBytes(text); }

    std::vector<std::wstring> m_mutexNames;  // every creation asked for
    std::shared_ptr<int> m_held = std::make_shared<int>(0);  // mutexes held now
    bool m_failMutex = false;

private:
    class Held final : public IHeldSystemObject {
    public:
        explicit Held(std::shared_ptr<int> count) : m_count(std::move(count)) { ++*m_count; }
        ~Held() override { --*m_count; }

    private:
        std::shared_ptr<int> m_count;
    };
};
