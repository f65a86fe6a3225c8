// The panel application transfer and its surrounding checks.
#include "update/PanelUpdater.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "common/ConfigurationIds.h"
#include "common/Text.h"
#include "update/DeviceReply.h"

namespace {

constexpr wchar_t kAppName[] = L"PanelApplication";
constexpr std::size_t kDigestLength = 32;


std::mutex& FactoryMutex() {
    static std::mutex mutex;
    return mutex;
}

CPanelUpdater::PortFactory& Factory() {
    static CPanelUpdater::PortFactory factory;
    return factory;
}

// The transfer workers started and not yet joined. Those still running when the process ends
// are let go then: a worker blocked on the network must not hold the end of the process. A worker
// that has finished its body is joined when the next one starts (it has only its last instructions
// left), so that installations one after another do not pile up finished threads.
class TransferThreads {
public:
    ~TransferThreads() {
        for (Worker& worker : m_workers) worker.thread.detach();
    }

    // Starts `body` on a new worker and keeps it. Room for it is made first, so that a failure
    // (std::bad_alloc, std::system_error) is thrown only while no worker exists yet.
    template <class Body>
    void Start(Body&& body) {
        std::vector<std::thread> finished;
        {
            std::lock_guard lock(m_mutex);
            finished.reserve(m_workers.size());
            for (auto it = m_workers.begin(); it != m_workers.end();) {
                if (*it->done) {
                    finished.push_back(std::move(it->thread));
                    it = m_workers.erase(it);
                } else {
                    ++it;
                }
            }
            auto done = std::make_shared<std::atomic<bool>>(false);
            m_workers.reserve(m_workers.size() + 1);
            std::thread thread([body = std::forward<Body>(body), done]() mutable {
                body();
                *done = true;
            });
            m_workers.push_back(Worker{std::move(thread), std::move(done)});
        }
        for (std::thread& thread : finished) thread.join();
    }

    std::vector<std::thread> TakeAll() {
        std::lock_guard lock(m_mutex);
        std::vector<std::thread> threads;
        for (Worker& worker : m_workers) threads.push_back(std::move(worker.thread));
        m_workers.clear();
        return threads;
    }

private:
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;  // set by the worker as its body returns
    };
    std::mutex m_mutex;
    std::vector<Worker> m_workers;
};

TransferThreads& Workers() {
    static TransferThreads workers;
    return workers;
}

// The process-wide updater's port. Start-up registers the factory before the updater is first
// used; without it every panel transfer would fail with no hint why, so the first run that
// reaches the updater stops here instead, saying what is missing.
std::unique_ptr<IPort> MakeRegisteredPort() {
    std::lock_guard lock(FactoryMutex());
    if (!Factory()) {
        std::fputs("CPanelUpdater: no panel port factory registered; start-up must call "
                   "CPanelUpdater::SetPortFactory before the panel updater is first used\n",
                   stderr);
        std::abort();
    }
    std::unique_ptr<IPort> port = Factory()();
    if (!port) {
        std::fputs("CPanelUpdater: the registered panel port factory made no port\n", stderr);
        std::abort();
    }
    return port;
}

// A fixed-width payload field: the low byte of each of the first `width` characters, padded
// with spaces, no terminator.
void AppendField(std::vector<std::uint8_t>& out, std::wstring_view s, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) {
        out.push_back(i < s.size() ? static_cast<std::uint8_t>(s[i] & 0xFF) : std::uint8_t{' '});
    }
}

std::vector<std::uint8_t> Field(std::wstring_view s, std::size_t width) {
    std::vector<std::uint8_t> out;
    AppendField(out, s, width);
    return out;
}

std::wstring HostText(const char* host) {
    const std::size_t length = host ? std::find(host, host + 20, '\0') - host : 0;
    return text::WidenBytes(std::string_view(host ? host : "", length));
}

}  // namespace

CPanelUpdater::CPanelUpdater(std::shared_ptr<CUpdateDeviceInfo> device)
    : CPanelUpdater(MakeRegisteredPort(), SystemClock(), std::move(device)) {}

CPanelUpdater::CPanelUpdater(std::unique_ptr<IPort> port, IClock& clock, std::shared_ptr<CUpdateDeviceInfo> device)
    : CUpdater(std::move(device)),
      m_port(port ? std::move(port) : std::make_unique<CNullPanelPort>()),
      m_clock(clock) {}

void CPanelUpdater::SetPortFactory(PortFactory factory) {
    std::lock_guard lock(FactoryMutex());
    Factory() = std::move(factory);
}

bool CPanelUpdater::SetUpdateData(std::unique_ptr<CPanelUpdateInfo>& info, std::unique_ptr<CPufPanelImage>& image) {
    if (!info || !image || m_pInfo || m_pImage || Device().m_pPort) return false;
    m_pInfo = std::move(info);
    m_pImage = std::move(image);
    return true;
}

bool CPanelUpdater::SetUpdateData(std::shared_ptr<const CPanelUpdateInfo> info,
                                  std::shared_ptr<const CPufPanelImage> image) {
    if (!info || !image || m_pInfo || m_pImage || Device().m_pPort) return false;
    m_pInfo = std::move(info);
    m_pImage = std::move(image);
    return true;
}

void CPanelUpdater::SetHostAddress(std::string_view dotted) {
    const std::size_t length = std::min(dotted.size(), sizeof m_szHost - 1);
    std::fill(std::begin(m_szHost), std::end(m_szHost), '\0');
    std::copy_n(dotted.begin(), length, m_szHost);
}

bool CPanelUpdater::NeedsUpdate() const {
    if (!IsSetUp()) return false;
    return Device().m_panelVersion < m_pInfo->m_version;
}

void CPanelUpdater::PrepareTransfer(const IStringTable& strings) {
    if (!IsSetUp()) return;
    std::wstring installerVersion, panelVersion, digest;
    strings.Load(IDS_CFG_FIRM_VERSION, installerVersion);
    strings.Load(IDS_CFG_PANEL_VERSION, panelVersion);
    strings.Load(IDS_CFG_PANEL_DIGEST, digest);
    SetTransferInfo(HostText(m_szHost), installerVersion, kAppName, panelVersion, m_pImage->m_pData,
                    m_pImage->m_nSize, std::to_wstring(m_pImage->m_nSize), digest);
}

void CPanelUpdater::SetTransferInfo(const std::wstring& host, const std::wstring& installerVersion,
                                    const std::wstring& appName, const std::wstring& panelVersion,
                                    const std::uint8_t* data, std::size_t dataSize, const std::wstring& appSize,
                                    const std::wstring& digest) {
    m_port->setHost(host);
    m_strHost = host;
    m_strInstallerVersion = installerVersion;
    m_strAppName = appName;
    m_strPanelVersion = panelVersion;
    m_pAppData = data;
    m_nAppDataSize = data ? dataSize : 0;
    m_strAppSize = appSize;
    m_strDigest = digest;
}

bool CPanelUpdater::StartTransferThread() {
    m_bStopRequested = false;
    m_nState = kPanelStarting;
    try {
        Workers().Start([self = shared_from_this()] { self->TransferThread(); });
        return true;
    } catch (const std::bad_weak_ptr&) {
    } catch (const std::bad_alloc&) {
    } catch (const std::system_error&) {
    }
    // No worker exists: the dialog sees the failure state at once.
    m_nBlocksSent = -1;
    m_nState = kPanelIdle;
    return false;
}

void CPanelUpdater::JoinTransferThreads() {
    for (std::thread& thread : Workers().TakeAll()) thread.join();
}

int CPanelUpdater::TransferThread() {
    if (m_bStopRequested || !m_port->open()) return FailTransfer();
    m_nState = kPanelConnected;
    if (!SendSessionStart() || !SendApplication() || !Await(kPanelAccepted)) return FailTransfer();
    m_nState = kPanelTransferred;
    return 1;
}

int CPanelUpdater::FailTransfer() {
    m_port->close();
    m_nBlocksSent = -1;
    m_nState = kPanelIdle;
    return 0;
}

bool CPanelUpdater::Send(PanelCommand command, const std::vector<std::uint8_t>& payload) {
    if (m_bStopRequested) return false;
    return m_port->sendCommand(static_cast<std::uint16_t>(payload.size()), command, 0,
                               payload.empty() ? nullptr : payload.data());
}

bool CPanelUpdater::Await(PanelCommand command) {
    if (m_bStopRequested) return false;
    return m_port->receiveReply(command, kPanelReplySize);
}

bool CPanelUpdater::SendSessionStart() {
    std::vector<std::uint8_t> versions;
    AppendField(versions, m_strInstallerVersion, 5);
    AppendField(versions, m_strPanelVersion, 10);
    if (!Send(kPanelSessionStart, versions) || !Await(kPanelHello) || !Await(kPanelReady)) return false;

    m_clock.Sleep(kPanelFieldPauseMs);
    if (!Send(kPanelHost, Field(m_strHost, 15)) || !Await(kPanelHostAck)) return false;

    m_clock.Sleep(kPanelFieldPauseMs);
    if (!Send(kPanelField1, Field(L"", 15)) || !Await(kPanelField1Ack)) return false;

    m_clock.Sleep(kPanelFieldPauseMs);
    if (!Send(kPanelField2, Field(L"", 15))) return false;
    m_clock.Sleep(kPanelClosingPauseMs);
    return Send(kPanelSessionEnd, {});
}

bool CPanelUpdater::SendFileHeader() {
    std::vector<std::uint8_t> header;
    AppendField(header, m_strAppName, 30);
    AppendField(header, m_strAppSize, 10);
    if (!Send(kPanelFileHeader, header)) return false;
    m_nState = kPanelHeaderSent;
    return true;
}

bool CPanelUpdater::SendApplication() {
    if (!SendFileHeader()) return false;

    // The announced size decides the blocks; it can never make us read past the package.
    const std::int32_t size = text::ReadLong(m_strAppSize, 10);
    if (size < 0 || static_cast<std::size_t>(size) > m_nAppDataSize) {
        m_port->close();
        return false;
    }
    const std::size_t total = static_cast<std::size_t>(size);
    m_nBlockCount = static_cast<int>((total + kPanelBlockSize - 1) / kPanelBlockSize);
    m_nBlocksSent = 0;
    for (std::size_t offset = 0; offset < total; offset += kPanelBlockSize) {
        const std::size_t length = std::min(kPanelBlockSize, total - offset);
        if (m_bStopRequested ||
            !m_port->sendCommand(static_cast<std::uint16_t>(length), kPanelFileData, 0, m_pAppData + offset)) {
            return false;
        }
        ++m_nBlocksSent;
    }

    if (m_strDigest.size() == kDigestLength && Send(kPanelFileDigest, Field(m_strDigest, kDigestLength))) {
        m_nState = kPanelDataSent;
        return true;
    }
    m_port->close();
    return false;
}

void CPanelUpdater::RequestStop() { m_bStopRequested = true; }

bool CPanelUpdater::StartPanelInstall(const char* host) {
    m_port->setHost(HostText(host));
    // Not through Send: a stop asked of an earlier transfer does not concern this command.
    if (!m_port->open() || !m_port->sendCommand(0, kPanelInstall, 0, nullptr)) {
        m_port->close();
        return false;
    }
    m_nState = kPanelInstalling;
    m_port->shutdown();
    return true;
}

int CPanelUpdater::VerifyInstalled() {
    CPort* port = Device().m_pPort.get();
    if (!IsSetUp() || !port) return kCheckNoAnswer;
    ReplyMap reply;
    if (const int result = QueryReplyToVerify(*port, m_pInfo->m_models, reply); result != kCheckOk) return result;
    const PanelVersion version = GetReplyPanelVersion(reply);
    if (version.nMajor < 0 || version.nMinor < 0 || version.nBuild < 0) return kCheckNoAnswer;
    if (version != m_pInfo->m_version) return kCheckUpToDate;
    port->release();
    return kCheckOk;
}
