// The panel application updater: decides whether the panel needs the application, sends the
// package to the panel over its own panel port on a worker thread, later tells the panel to
// install it, and checks the version the printer then reports.
//
// The worker and the user-interface thread share only the three progress counters (atomics)
// and, one after the other, the port: the user-interface thread uses the port again only after
// it has seen the transfer end (m_nState 0 or 4). The worker holds a shared reference to the
// updater, so the updater and its port outlive a transfer that is still blocked when the process
// ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/Clock.h"
#include "common/StringTable.h"
#include "images/PanelImage.h"
#include "ports/PanelPort.h"
#include "update/UpdateModel.h"

// Panel message codes.
enum PanelCommand : std::uint16_t {
    kPanelSessionStart = 0xE000,
    kPanelSessionEnd = 0xE005,
    kPanelFileHeader = 0xE006,
    kPanelFileData = 0xE007,
    kPanelFileDigest = 0xE008,
    kPanelInstall = 0xE009,
    kPanelHello = 0xE00A,
    kPanelAccepted = 0xE00C,
    kPanelReady = 0xE00D,
    kPanelHost = 0xE00E,
    kPanelHostAck = 0xE00F,
    kPanelField1 = 0xE010,
    kPanelField1Ack = 0xE011,
    kPanelField2 = 0xE012,
};

// Values of m_nState.
enum PanelTransferState : int {
    kPanelIdle = 0,          // idle, or the last transfer failed
    kPanelConnected = 1,
    kPanelHeaderSent = 2,
    kPanelDataSent = 3,      // all blocks and the digest sent
    kPanelTransferred = 4,   // the panel accepted the package
    kPanelInstalling = 5,    // the panel was told to install it
    kPanelStarting = 6,      // the worker has been started and is connecting
};

constexpr std::size_t kPanelBlockSize = 1024;
// Pauses of the opening exchange, in milliseconds: the panel needs them between its answers and
// the next command (three field pauses, then the closing one).
constexpr std::uint32_t kPanelFieldPauseMs = 500;
constexpr std::uint32_t kPanelClosingPauseMs = 100;
constexpr int kPanelReplySize = 16;

class CPanelUpdater : public CUpdater, public std::enable_shared_from_this<CPanelUpdater> {
public:
    using PortFactory = std::function<std::unique_ptr<IPort>()>;

    // The panel updater of the installation whose printer `device` describes (null: a device of
    // its own), with a port from the factory start-up registered (SetPortFactory). Without a
    // registered factory, or when it makes no port, this is a programming error: it writes a
    // diagnostic line to standard error and aborts the process.
    explicit CPanelUpdater(std::shared_ptr<CUpdateDeviceInfo> device);
    // With `port` (null: a port that reaches nothing), `clock` and a device of its own (or
    // `device`), for tests and benchmarks.
    CPanelUpdater(std::unique_ptr<IPort> port, IClock& clock, std::shared_ptr<CUpdateDeviceInfo> device = nullptr);

    // Registers how panel updaters made without a port make theirs; call before the first is
    // made. An empty factory forgets the registration.
    static void SetPortFactory(PortFactory factory);

    // Takes the description and the image, together, once. Refused (both stay with the caller)
    // when either is null, when the updater already holds either, or when a printer port is
    // already attached.
    bool SetUpdateData(std::unique_ptr<CPanelUpdateInfo>& info, std::unique_ptr<CPufPanelImage>& image);
    // The same with a description and an image that other installations share (read only).
    bool SetUpdateData(std::shared_ptr<const CPanelUpdateInfo> info, std::shared_ptr<const CPufPanelImage> image);

    bool IsSetUp() const { return m_pInfo && m_pImage; }

    // Copies the printer's dotted address into m_szHost (at most 19 characters kept).
    void SetHostAddress(std::string_view dotted);

    // The installation's trust in the printer, for every connection the port makes from now on.
    void SetPeerTrust(std::shared_ptr<IPeerTrust> trust) { m_port->setPeerTrust(std::move(trust)); }

    // Before anything is sent (after SetTransferInfo, before the transfer's worker starts): opens
    // the panel connection once and closes it, sending nothing, so that the trust sees a TLS
    // panel's certificate, or is asked whether plain text may go to the panel. True when it opened.
    bool CheckPeerTrust() {
        const bool opened = m_port->open();
        m_port->close();
        return opened;
    }

    // True when the identified printer's panel application is older than the carried one.
    bool NeedsUpdate() const;

    // Gathers the transfer parameters from the string table (201, 206, 207), the image and
    // m_szHost. Does nothing unless set up.
    void PrepareTransfer(const IStringTable& strings);

    // Sets the host on the port, then keeps the parameters. `data` must hold `dataSize` bytes
    // and stay valid for as long as transfers may run.
    void SetTransferInfo(const std::wstring& host, const std::wstring& installerVersion, const std::wstring& appName,
                         const std::wstring& panelVersion, const std::uint8_t* data, std::size_t dataSize,
                         const std::wstring& appSize, const std::wstring& digest);

    // Starts TransferThread on a worker that shares ownership of this updater (which must be
    // owned by a shared_ptr). m_nState is kPanelStarting until the worker has connected. False
    // when the worker could not be started (not shared, out of memory, no thread to be had): the
    // transfer then counts as failed (m_nState kPanelIdle, m_nBlocksSent -1).
    bool StartTransferThread();

    // Waits for every worker started so far to finish. Call it once their states show the end
    // (0 or 4): a worker still blocked on the network would hold the caller. Workers never
    // joined are let go when the process ends.
    static void JoinTransferThreads();

    // Asks a running transfer to stop: it sends nothing more and ends as failed (m_nState 0) once
    // the command under way has been answered or has timed out. Any thread.
    void RequestStop();

    // The whole transfer; 1 on success (m_nState 4, connection left open), 0 on failure
    // (connection closed, m_nBlocksSent -1, m_nState 0).
    int TransferThread();

    // Tells the panel at `host` to install the package. True when the panel acknowledged.
    bool StartPanelInstall(const char* host);

    // 0 when the printer reports the carried panel version (the printer port is then released),
    // 6 another version, 8 IPL mode, 5 a model not in the list, 4 query failed, 3 not decidable.
    int VerifyInstalled();

    std::shared_ptr<const CPanelUpdateInfo> m_pInfo;
    std::shared_ptr<const CPufPanelImage> m_pImage;
    char m_szHost[20] = {};

    std::wstring m_strHost;
    std::wstring m_strInstallerVersion;
    std::wstring m_strAppName;
    std::wstring m_strPanelVersion;
    const std::uint8_t* m_pAppData = nullptr;  // not owned: the package in the resource memory
    std::size_t m_nAppDataSize = 0;
    std::wstring m_strAppSize;
    std::wstring m_strDigest;

    // Read by the progress dialog while the worker writes them.
    std::atomic<int> m_nBlockCount{0};
    std::atomic<int> m_nBlocksSent{0};
    std::atomic<int> m_nState{kPanelIdle};
    std::atomic<bool> m_bStopRequested{false};

private:
    bool SendSessionStart();
    bool SendFileHeader();
    bool SendApplication();
    bool Send(PanelCommand command, const std::vector<std::uint8_t>& payload);
    bool Await(PanelCommand command);
    int FailTransfer();

    std::unique_ptr<IPort> m_port;
    IClock& m_clock;
};
