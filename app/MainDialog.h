// The main dialog's decisions: initialisation from the product configuration, the printer list,
// the two steps (selection and confirmation), Back, Cancel and identification on Next. The window
// itself is a view (IMainDialogView) that this logic drives; app/win32/ implements it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "app/DialogView.h"
#include "app/ExitCode.h"
#include "app/InstallParts.h"
#include "app/InstallRecord.h"
#include "app/SendStatusDlg.h"
#include "common/Resources.h"
#include "common/StringTable.h"
#include "discovery/PrinterInfo.h"
#include "ports/Port.h"
#include "update/CertificateMemory.h"
#include "update/PrinterTrust.h"

class CInstallation;
class CFirmUpdateInfo;
class CPanelUpdateInfo;
class CPufFirmImage;
class CPufPanelImage;
class IModelInfo;

// What the user is told when a progress dialog has ended, and with which exit code the installer
// ends. `message` 0: nothing, the installation goes on.
struct InstallOutcome {
    unsigned message;
    MessageIcon icon;
    VessickExitCode::EXITCODE exitCode;
};
InstallOutcome ProgressOutcome(ProgressDialog dialog, int endCode);

// The controls of the main dialog as the logic sees them. Control ids are those of app/resource.h.
class IMainDialogView : public IMessageView {
public:
    // Adds a separator and the about-box command to the system menu, if the dialog has one.
    virtual void AddAboutMenuItem(const std::wstring& text) = 0;
    virtual void SetLargeIcon() = 0;
    virtual void EnableToolTips() = 0;
    virtual void ApplySystemFont() = 0;
    // Composes the banner over the dialog's colour and shows it; silent when that fails.
    virtual void ShowBanner() = 0;

    virtual bool HasControl(int id) = 0;
    virtual void SetText(int id, const std::wstring& text) = 0;
    virtual void Enable(int id, bool enable) = 0;
    virtual void Focus(int id) = 0;

    // The printer list. Rows carry an entry of the dialog's printer list, or nothing.
    virtual void ClearRows() = 0;
    // Appends a row at the end; its index, or -1 when it could not be added.
    virtual int AppendRow(const std::wstring& text) = 0;
    virtual void SetRowData(int row, const CPrinterInfo* printer) = 0;
    virtual const CPrinterInfo* RowData(int row) = 0;
    virtual std::wstring RowText(int row) = 0;
    virtual int RowCount() = 0;
    virtual int SelectedRow() = 0;  // -1: none
    virtual void SelectRow(int row) = 0;
    // Widens the list's drop-down part to its longest row (never narrower than it is).
    virtual void WidenDropDown() = 0;

    // The address field, host byte order; 0 when it is empty.
    virtual std::uint32_t Address() = 0;
    virtual void SetAddress(std::uint32_t address) = 0;

    // Ends the dialog's modal loop with `code` as its result.
    virtual void EndDialog(int code) = 0;
    // Reports that memory ran out, with the system's own text for it.
    virtual void ReportOutOfMemory() = 0;
    virtual void ShowAbout(const std::wstring& text) = 0;

    // Waits without handling messages (the dialog does not respond meanwhile).
    virtual void Pause(std::uint32_t ms) = 0;
    // Runs `search` on a thread of its own and, once it has returned, hands what it found to
    // CVessickDlg::OnPrintersFound on the dialog's thread, never from inside another of the
    // dialog's handlers, and only while the dialog is open. When the dialog ends first, `stop` is
    // called and the search is waited for before the view goes. False when no thread could be
    // started (nothing runs then).
    virtual bool SearchInBackground(std::function<std::unique_ptr<CPrinterInfoList>()> search,
                                    std::function<void()> stop) = 0;

    // Runs a progress dialog modally; its end code (SendStatusEnd). `parts` are those of the
    // installation (kPartFirmware, kPartPanel); `address` (network byte order) is the final
    // dialog's printer address.
    virtual int RunProgressDialog(ProgressDialog dialog, std::uint32_t parts, std::uint32_t address) = 0;
    // Runs `work` on another thread while the dialog keeps handling its messages (its own
    // handlers stay shut meanwhile); the work's result.
    virtual bool RunResponsive(const std::function<bool()>& work) = 0;
};

// Where the printers the user can choose from come from.
class IPrinterDetection {
public:
    virtual ~IPrinterDetection() = default;

    // Appends the printers registered by the print-management software, looking where attempt
    // `attempt` (0 to 2) looks; returns how many usable entries the file held, appended or not (0: look
    // further).
    virtual int ReadRegistered(int attempt, CPrinterInfoList& list) = 0;

    // Searches the networks for `timeoutMs` and merges the supported printers that answered.
    virtual void Discover(CPrinterInfoList& list, const IModelInfo* models, std::uint32_t timeoutMs) = 0;

    // From any thread: a search under way (Discover) ends soon, merging nothing.
    virtual void Stop() {}
};

// The firmware and panel application the installer carries, with their descriptions from the
// product configuration, checked against each other. Read only: every installation of a run
// shares them.
struct CarriedUpdates {
    std::shared_ptr<const CFirmUpdateInfo> firmInfo;
    std::shared_ptr<const CPufFirmImage> firmImage;
    std::shared_ptr<const CPanelUpdateInfo> panelInfo;
    std::shared_ptr<const CPufPanelImage> panelImage;
};

// Fills `printers` with the registered printers of the models `models` lists (all when null), then
// merges those that answer a search of the networks.
void DetectSupportedPrinters(IPrinterDetection& detection, const IModelInfo* models, CPrinterInfoList& printers);

struct MainDialogServices {
    const IStringTable& strings;
    const IResourceSource& resources;
    IPrinterDetection& detection;
    // A printer port for the address (network byte order); null when none can be made.
    std::function<PortPtr(std::uint32_t)> makePrinterPort;
    // The printer certificates the user trusts. Null: no certificate is trusted.
    CCertificateMemory* certificates = nullptr;
    // Asks the user a question (Yes and No, No the default) from any thread; true for Yes. Empty:
    // every answer is No.
    std::function<bool(const std::wstring& question)> askUser;
    // Decides about a certificate seen for the first time without asking anyone (an unattended
    // installation). Empty: the user is asked (askUser).
    TrustQuestion decideFirstSeen;
    // The same string table in English, for the record's message; null: `strings` itself.
    const IStringTable* englishStrings = nullptr;
    // Takes the record of an installation that has ended (identification that ended with a
    // message, or an installation that was started), on the dialog's thread. Empty: not kept.
    std::function<void(const InstallRecord&)> onRecord;
    // What the installer carries, loaded and checked once for several installations. Null: the
    // dialog loads it itself.
    const CarriedUpdates* carried = nullptr;
    // Milliseconds since 1970-01-01 UTC, for the record's times. Empty: the system's clock.
    std::function<std::int64_t()> wallClockMs;
};

// Errors that end the dialog's initialisation.
enum VessickError : int {
    PARAMETER_ERROR = 0,
    SOCKET_INIT_ERROR = 1,
    FATAL_ERROR = 2,
    IMAGE_LOAD_ERROR = 3,
    IMAGE_MISMATCH_ERROR = 4,
};

// Reads the configuration and restores the carried images; throws VessickError (IMAGE_LOAD_ERROR,
// IMAGE_MISMATCH_ERROR when the firmware is not the one the configuration names, FATAL_ERROR when
// a configuration string is missing).
CarriedUpdates LoadCarriedUpdates(const IStringTable& strings, const IResourceSource& resources);

// The message and exit code of an initialisation error.
unsigned VessickErrorMessage(int error);
VessickExitCode::EXITCODE VessickErrorExitCode(int error);

// Row text of a printer: "nick [ serial ] ", eight hyphens for a missing serial when a nick name
// is given, the model name in place of a missing nick name.
std::wstring PrinterRowText(const CPrinterInfo& printer);

// What the list's tooltip shows for a row: the text, or its first 76 characters and "...".
std::wstring ToolTipText(const std::wstring& rowText);

// "From %s  To %s".
std::wstring FromToText(const std::wstring& from, const std::wstring& to);

// The about box's line; empty when a configuration string is missing.
std::wstring AboutText(const IStringTable& strings);

// "%s" in a message replaced by `value` (the first occurrence only).
std::wstring FormatMessageText(const std::wstring& message, const std::wstring& value);

// The standard buttons of a dialog (the same ids as the system gives them).
constexpr int kOkButton = 1;
constexpr int kCancelButton = 2;

constexpr std::uint32_t kDiscoveryListeningMs = 2000;
// Between preparing the panel transfer and asking for update mode.
constexpr std::uint32_t kUpdateModePauseMs = 1000;

class CVessickDlg {
public:
    // The dialog of `installation`, which outlives it.
    CVessickDlg(IMainDialogView& view, const MainDialogServices& services, CInstallation& installation)
        : m_view(view), m_services(services), m_installation(installation) {}

    // Prepares everything from the configuration and the carried images, and starts the search
    // for printers: until it has ended the list says that it is searching, and only Cancel (and
    // the close box) work. On failure the dialog has shown its message and ended. Always false
    // (focus placed here).
    bool OnInitDialog();

    // The search has ended with `found` (null: memory ran out): fills the list and makes the
    // selection step ready.
    void OnPrintersFound(std::unique_ptr<CPrinterInfoList> found);

    // The search for printers is under way.
    bool IsSearching() const { return m_bSearching; }

    // System command: the about box for its id, false (not handled) for the others.
    bool OnSysCommand(unsigned id);

    void FillPrinterList();
    void ApplySelection();
    void ShowStep(bool identified);

    // The user's actions. None of them runs while Next or Install is at work (a message box, a
    // progress dialog or a transfer can let messages through underneath): they are ignored.
    void OnSelectionChanged();
    void OnBnClickedBack();
    void OnCancel();
    // Next while no printer is identified; Install once one is.
    void OnBnClickedOk();

    // Next or Install is at work.
    bool IsBusy() const { return m_bBusy; }
    // The printer has been asked to enter update mode: from then on an installation that ends
    // unexpectedly has failed (and is not a failed start).
    bool UpdateModeEntered() const { return m_bUpdateModeEntered; }

    // The identified printer's trust; null before an identification.
    const std::shared_ptr<CPrinterTrust>& PrinterTrust() const { return m_trust; }

    // Where the installation is (what a record would name as its stage).
    InstallStage Stage() const { return m_stage; }

    // The tooltip of the selected row; empty when no row is selected.
    std::wstring SelectedRowToolTip();

    std::uint32_t m_dwUpdateParts = 0;
    bool m_bSocketReady = true;
    bool m_bCommandLine = false;
    std::uint32_t m_dwPrinterAddress = 0;  // host byte order
    std::wstring m_strCmdUsbPort;
    std::uint32_t m_dwPortType = 0;
    CPrinterInfoList m_printers;

private:
    void Initialise();
    void ShowSearching();
    void SetUpUpdaters();
    void SelectInitialRow();
    void Identify();
    void Install();
    // Ends the dialog after a progress dialog that did not succeed, or after the last one. True
    // when the installation ended here.
    bool Conclude(ProgressDialog dialog, int endCode);
    void Fail(int error);
    // The identified printer as the trust knows it: the serial and host name discovery or the
    // registered list gave for its address.
    PrinterIdentity IdentifiedPrinter() const;
    void TrustIdentifiedPrinter();
    // Before anything is sent: false when the trust refused the printer (the dialog has then said
    // why and ended).
    bool ConfirmPeerTrust();
    void EndWithTrustRefusal();
    // Shows `text` (made from string `id`), ends the dialog with `exitCode` unless it goes on
    // (`exitCode` negative), and hands on the record of the attempt, whose message is `english`.
    void Finish(unsigned id, const std::wstring& text, const std::wstring& english, MessageIcon icon,
                RecordOutcome outcome, int exitCode, bool endDialog);
    // String `id` in English, with its first "%s" replaced by `value`.
    std::wstring English(unsigned id, const std::wstring& value = {}) const;
    std::int64_t Now() const;

    IMainDialogView& m_view;
    MainDialogServices m_services;
    CInstallation& m_installation;
    bool m_bBusy = false;
    bool m_bSearching = false;
    std::wstring m_strExtraRow;  // the list's last row after the search; empty: none
    bool m_bUpdateModeEntered = false;
    std::shared_ptr<CPrinterTrust> m_trust;
    InstallStage m_stage = InstallStage::kIdentification;
    std::int64_t m_nStartedMs = 0;
    // The certificate last put to the question (or to the unattended decision): the connection
    // that asked writes it, on whichever thread it runs.
    struct QuestionedCertificate {
        std::mutex mutex;
        std::optional<CertificateFingerprint> sha256;
    };
    std::shared_ptr<QuestionedCertificate> m_questioned = std::make_shared<QuestionedCertificate>();
};
