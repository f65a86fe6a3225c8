// The main dialog's decisions, independent of the windows that show them.
#include "app/MainDialog.h"

#include <chrono>
#include <memory>
#include <new>

#include "app/FlagScope.h"
#include "app/ProductConfig.h"
#include "app/SendStatusDlg.h"
#include "app/TrustMessages.h"
#include "app/resource.h"
#include "images/FirmImage.h"
#include "images/PanelImage.h"
#include "images/Version.h"
#include "common/Encoding.h"
#include "common/Text.h"
#include "ports/Ipv4Address.h"
#include "update/Installation.h"

namespace {

constexpr wchar_t kImageResourceType[] = L"FIRMWARE";
constexpr wchar_t kNoSerialNumber[] = L"--------";
constexpr wchar_t kNoVersion[] = L"-.--";
// What message 163 names when the printer's reply carries no model name.
constexpr wchar_t kUnknownModel[] = L"---";
constexpr std::size_t kToolTipKept = 76;


std::wstring LoadOrRaise(const IStringTable& strings, unsigned id) {
    std::wstring text;
    if (!strings.Load(id, text)) throw FATAL_ERROR;
    return text;
}

std::uint32_t NetworkOrder(std::uint32_t hostOrder) {
    return Ipv4NetworkOrder(static_cast<std::uint8_t>(hostOrder >> 24), static_cast<std::uint8_t>(hostOrder >> 16),
                            static_cast<std::uint8_t>(hostOrder >> 8), static_cast<std::uint8_t>(hostOrder));
}

}  // namespace

unsigned VessickErrorMessage(int error) {
    switch (error) {
        case PARAMETER_ERROR: return IDS_ILLEGAL_PARAMETER;
        case SOCKET_INIT_ERROR: return IDS_SOCKET_INIT_FAILED;
        case IMAGE_LOAD_ERROR:
        case IMAGE_MISMATCH_ERROR: return IDS_INSTALLER_CORRUPTED;
        default: return IDS_FATAL_ERROR;
    }
}

VessickExitCode::EXITCODE VessickErrorExitCode(int error) {
    return error == PARAMETER_ERROR ? VessickExitCode::ILLEGAL_PARAMETER : VessickExitCode::INIT_FAILED;
}

std::wstring PrinterRowText(const CPrinterInfo& printer) {
    const bool named = !printer.m_strNickName.empty();
    const std::wstring& first = named ? printer.m_strNickName : printer.m_strModel;
    const std::wstring serial =
        named && printer.m_strSerialNum.empty() ? std::wstring(kNoSerialNumber) : printer.m_strSerialNum;
    return first + L" [ " + serial + L" ] ";
}

std::wstring ToolTipText(const std::wstring& rowText) {
    if (rowText.size() <= kToolTipKept) return rowText;
    return rowText.substr(0, kToolTipKept) + L"...";
}

std::wstring FromToText(const std::wstring& from, const std::wstring& to) { return L"From " + from + L"  To " + to; }

std::wstring FormatMessageText(const std::wstring& message, const std::wstring& value) {
    std::wstring text = message;
    const std::size_t at = text.find(L"%s");
    if (at != std::wstring::npos) text.replace(at, 2, value);
    return text;
}

std::wstring AboutText(const IStringTable& strings) {
    std::wstring series, firmware, panel;
    if (!strings.Load(IDS_CFG_SERIES_NAME, series) || !strings.Load(IDS_CFG_FIRM_VERSION, firmware) ||
        !strings.Load(IDS_CFG_PANEL_VERSION, panel)) {
        return {};
    }
    return series + L"  Firm Version " + firmware + L" Panel Version " + panel;
}

CarriedUpdates LoadCarriedUpdates(const IStringTable& strings, const IResourceSource& resources) {
    LoadOrRaise(strings, IDS_CFG_SERIES_NAME);
    const std::wstring firmVersion = LoadOrRaise(strings, IDS_CFG_FIRM_VERSION);
    const std::wstring panelVersion = LoadOrRaise(strings, IDS_CFG_PANEL_VERSION);
    const std::wstring models = LoadOrRaise(strings, IDS_CFG_MODEL_LIST);

    const std::int32_t modelCode = GetProductModelCode(strings);
    auto firmInfo = std::make_shared<CFirmUpdateInfo>(VersionTextToInt(firmVersion), modelCode, models);
    auto panelInfo = std::make_shared<CPanelUpdateInfo>(ParsePanelVersion(panelVersion), modelCode, models);

    auto firmImage = std::make_shared<CPufFirmImage>(resources);
    if (!firmImage->Load(IDR_FIRMWARE_IMAGE, kImageResourceType)) throw IMAGE_LOAD_ERROR;
    auto panelImage = std::make_shared<CPufPanelImage>(resources);
    if (!panelImage->Load(IDR_PANEL_IMAGE, kImageResourceType)) throw IMAGE_LOAD_ERROR;

    // The firmware must be the one this build is configured for.
    if (!firmImage->m_pData) throw IMAGE_MISMATCH_ERROR;
    const auto header = CopyFirmHeaderText(*firmImage);
    FirmHeaderInfo parsed;
    if (!ParseFirmHeader(header.data(), &parsed) || parsed.nModelCode != firmInfo->m_nModelCode ||
        parsed.nVersion != firmInfo->m_nVersion) {
        throw IMAGE_MISMATCH_ERROR;
    }
    return {std::move(firmInfo), std::move(firmImage), std::move(panelInfo), std::move(panelImage)};
}

bool CVessickDlg::OnInitDialog() {
    std::wstring about;
    if (m_services.strings.Load(IDS_ABOUTBOX, about)) m_view.AddAboutMenuItem(about);
    m_view.SetLargeIcon();
    m_view.EnableToolTips();
    m_view.ApplySystemFont();
    try {
        Initialise();
    } catch (VessickError error) {
        Fail(error);
    } catch (const std::bad_alloc&) {
        m_view.ReportOutOfMemory();
        m_view.EndDialog(VessickExitCode::INIT_FAILED);
    }
    return false;
}

void CVessickDlg::Fail(int error) {
    std::wstring text;
    m_services.strings.Load(VessickErrorMessage(error), text);
    m_view.ShowMessage(text, MessageIcon::kStop, MessageButtons::kOk);
    m_view.EndDialog(VessickErrorExitCode(error));
}

void CVessickDlg::Initialise() {
    m_view.ShowBanner();
    // Without sockets nothing can reach a printer; say so now rather than fail every search.
    if (!m_bSocketReady) throw SOCKET_INIT_ERROR;

    const IStringTable& strings = m_services.strings;
    const CarriedUpdates carried =
        m_services.carried ? *m_services.carried : LoadCarriedUpdates(strings, m_services.resources);
    m_dwPortType = LoadPortType(strings);
    m_view.SetText(IDC_PORT_NAME, (m_dwPortType & kPortUsbMask) ? L"USB" : L"Ethernet");

    // The installation starts empty: nothing carried yet, no printer attached.
    CFirmUpdater& firm = m_installation.Firm();
    CPanelUpdater& panel = m_installation.Panel();
    if (firm.m_pInfo || firm.m_pImage || panel.m_pInfo || panel.m_pImage || m_installation.Device().m_pPort) {
        throw IMAGE_MISMATCH_ERROR;
    }
    if (!firm.SetUpdateData(carried.firmInfo, carried.firmImage)) throw IMAGE_MISMATCH_ERROR;
    if (!panel.SetUpdateData(carried.panelInfo, carried.panelImage)) throw IMAGE_MISMATCH_ERROR;

    if (!m_view.HasControl(IDC_PRINTER_LIST)) throw FATAL_ERROR;
    if (!m_bCommandLine) {
        m_strExtraRow = LoadOrRaise(strings, (m_dwPortType & kPortUsbMask) ? IDS_AUTO_DETECTION : IDS_INPUT_IP_ADDRESS);
    }

    // The window shows at once; the list fills when the search has ended.
    IPrinterDetection& detection = m_services.detection;
    const auto search = [&detection, models = carried.firmInfo]() -> std::unique_ptr<CPrinterInfoList> {
        try {
            auto found = std::make_unique<CPrinterInfoList>();
            DetectSupportedPrinters(detection, models.get(), *found);
            return found;
        } catch (...) {
            return nullptr;  // nothing may leave the search's thread; memory is what runs out there
        }
    };
    ShowSearching();
    if (!m_view.SearchInBackground(search, [&detection] { detection.Stop(); })) throw std::bad_alloc();
}

void CVessickDlg::ShowSearching() {
    m_bSearching = true;
    ShowStep(false);
    m_view.ClearRows();
    std::wstring searching;
    m_services.strings.Load(IDS_SEARCHING_PRINTERS, searching);
    m_view.AppendRow(searching);
    m_view.SelectRow(0);
    m_view.Enable(IDC_IP_ADDRESS, false);
    m_view.Enable(kOkButton, false);
    // The list keeps the focus: on Cancel, the only other control that can have it, Enter (meant
    // for Next, which waits for the search) would end the installer. Choosing its one row does
    // nothing until the search has ended.
    m_view.Enable(IDC_PRINTER_LIST, true);
    m_view.Focus(IDC_PRINTER_LIST);
}

void CVessickDlg::OnPrintersFound(std::unique_ptr<CPrinterInfoList> found) {
    if (!m_bSearching) return;
    m_bSearching = false;
    try {
        if (!found) throw std::bad_alloc();
        m_printers = std::move(*found);
        FillPrinterList();
        if (!m_strExtraRow.empty()) m_view.AppendRow(m_strExtraRow);
        m_view.WidenDropDown();
        SelectInitialRow();
        m_view.Enable(kOkButton, true);
        ShowStep(false);
    } catch (const std::bad_alloc&) {
        m_view.ReportOutOfMemory();
        m_view.EndDialog(VessickExitCode::INIT_FAILED);
    }
}

void CVessickDlg::SelectInitialRow() {
    // An address given on the command line is the user's choice: its row when the printer was
    // found, otherwise the address typed in for them.
    if (m_bCommandLine && m_dwPrinterAddress != 0 && !(m_dwPortType & kPortUsbMask)) {
        for (int row = 0; row < m_view.RowCount(); ++row) {
            const CPrinterInfo* printer = m_view.RowData(row);
            if (printer && printer->m_nPortType == CPrinterInfo::kNetwork &&
                printer->m_dwIPAddress == m_dwPrinterAddress) {
                m_view.SelectRow(row);
                return;
            }
        }
        m_view.SelectRow(-1);
        m_view.SetAddress(m_dwPrinterAddress);
        return;
    }
    m_view.SelectRow(0);
}

void DetectSupportedPrinters(IPrinterDetection& detection, const IModelInfo* models, CPrinterInfoList& printers) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (detection.ReadRegistered(attempt, printers) > 0) break;
    }
    // One pass: a file of many registered printers costs its length, not its length squared.
    if (models) {
        printers.RemoveIf([models](const CPrinterInfo& printer) { return !models->IsSupportedModel(printer.m_strModel, true); });
    }
    detection.Discover(printers, models, kDiscoveryListeningMs);
}

void CVessickDlg::FillPrinterList() {
    m_view.ClearRows();
    for (std::size_t i = 0; i < m_printers.GetSize(); ++i) {
        const int row = m_view.AppendRow(PrinterRowText(m_printers[i]));
        if (row >= 0) m_view.SetRowData(row, &m_printers[i]);
    }
}

void CVessickDlg::ApplySelection() {
    if (!m_view.HasControl(IDC_PRINTER_LIST) || !m_view.HasControl(IDC_IP_ADDRESS)) return;
    if (m_view.RowCount() <= 1) m_view.Enable(IDC_PRINTER_LIST, false);
    if (m_dwPortType & kPortUsbMask) return;

    const int row = m_view.SelectedRow();
    if (row >= 0 && static_cast<std::size_t>(row) < m_printers.GetSize()) {
        if (const CPrinterInfo* printer = m_view.RowData(row)) {
            m_view.SetAddress(printer->m_dwIPAddress);
            m_view.Enable(IDC_IP_ADDRESS, false);
            return;
        }
    }
    m_view.Enable(IDC_IP_ADDRESS, true);
    m_view.Focus(IDC_IP_ADDRESS);
}

void CVessickDlg::ShowStep(bool identified) {
    m_view.Focus(kOkButton);
    m_view.Enable(IDC_PRINTER_LIST, !identified);
    m_view.Enable(IDC_IP_ADDRESS, !identified);
    m_view.Enable(IDC_BACK, identified);

    std::wstring firmTo, panelTo, button;
    const IStringTable& strings = m_services.strings;
    if (!strings.Load(IDS_CFG_FIRM_VERSION, firmTo) || !strings.Load(IDS_CFG_PANEL_VERSION, panelTo) ||
        !strings.Load(identified ? IDS_BUTTON_INSTALL : IDS_BUTTON_NEXT, button)) {
        return;
    }

    std::wstring model, firmFrom, panelFrom;
    CUpdateDeviceInfo& device = m_installation.Device();
    if (identified) {
        model = device.m_strModelName;
        firmFrom = FormatVersion(device.m_nFirmVersion);
        panelFrom = FormatPanelVersion(device.m_panelVersion);
    } else {
        device.m_pPort.reset();  // released, then deleted
        if (m_trust) {
            m_trust.reset();
            m_installation.Panel().SetPeerTrust(nullptr);
        }
        if (!strings.Load(IDS_CFG_SERIES_NAME, model)) return;
        firmFrom = panelFrom = kNoVersion;
    }
    m_view.SetText(IDC_MODEL_NAME, model);
    m_view.SetText(IDC_FIRM_VERSION, FromToText(firmFrom, firmTo));
    m_view.SetText(IDC_PANEL_VERSION, FromToText(panelFrom, panelTo));
    m_view.SetText(kOkButton, button);

    if (!identified) ApplySelection();
}

void CVessickDlg::OnSelectionChanged() {
    if (!m_bBusy && !m_bSearching) ApplySelection();
}

void CVessickDlg::OnBnClickedBack() {
    if (!m_bBusy && !m_bSearching) ShowStep(false);
}

void CVessickDlg::OnCancel() {
    if (m_bBusy) return;
    if (m_bSearching) {
        // Nothing is attached yet: the search is stopped and the dialog ends at once.
        m_bSearching = false;
        m_services.detection.Stop();
        m_view.EndDialog(VessickExitCode::CANCELED);
        return;
    }
    if (!m_installation.Device().m_pPort) {
        m_view.EndDialog(VessickExitCode::CANCELED);
        return;
    }
    std::wstring question;
    m_services.strings.Load(IDS_CONFIRM_EXIT, question);
    if (m_view.ShowMessage(question, MessageIcon::kNone, MessageButtons::kYesNoDefaultNo) == MessageAnswer::kYes) {
        m_view.EndDialog(VessickExitCode::CANCELED);
    }
}

void CVessickDlg::OnBnClickedOk() {
    if (m_bBusy || m_bSearching) return;
    FlagScope busy(m_bBusy);
    if (!m_installation.Device().m_pPort) {
        Identify();
    } else {
        Install();
    }
}

InstallOutcome ProgressOutcome(ProgressDialog dialog, int endCode) {
    using enum VessickExitCode::EXITCODE;
    switch (endCode) {
        case END_SUCCESS:
            if (dialog == ProgressDialog::kComplete) return {IDS_INSTALL_SUCCEEDED, MessageIcon::kInformation, SUCCESS};
            return {0, MessageIcon::kNone, SUCCESS};
        case END_SEND_FAILED:
            return {dialog == ProgressDialog::kPanel ? unsigned{IDS_PANEL_SEND_FAILED} : unsigned{IDS_FIRM_SEND_FAILED},
                    MessageIcon::kStop, INSTALL_FAILED};
        case END_ABORTED: return {IDS_CANCELED, MessageIcon::kInformation, CANCELED};
        case END_REBOOT_REFUSED:
            if (dialog == ProgressDialog::kComplete) return {IDS_RESTART_REFUSED, MessageIcon::kStop, INSTALL_FAILED};
            break;
        case END_NOT_CONFIRMED:
            if (dialog == ProgressDialog::kComplete) {
                return {IDS_RESTART_NOT_CONFIRMED, MessageIcon::kExclamation, INSTALL_FAILED};
            }
            break;
        default: break;
    }
    return {IDS_FIRM_INSTALL_FAILED, MessageIcon::kStop, INSTALL_FAILED};
}

void CVessickDlg::Install() {
    const IStringTable& strings = m_services.strings;
    std::wstring text;
    m_nStartedMs = Now();
    if (m_dwUpdateParts & kPartPanel) {
        m_stage = InstallStage::kConfirmation;
        std::wstring minutes;
        strings.Load(IDS_CONFIRM_INSTALL_TIME, text);
        strings.Load(IDS_CFG_INSTALL_MINUTES, minutes);
        if (m_view.ShowMessage(FormatMessageText(text, minutes), MessageIcon::kNone, MessageButtons::kYesNo) !=
            MessageAnswer::kYes) {
            strings.Load(IDS_CONFIRM_EXIT, text);
            Finish(IDS_CONFIRM_EXIT, text, English(IDS_CONFIRM_EXIT), MessageIcon::kNone, RecordOutcome::kDeclined,
                   VessickExitCode::SUCCESS, true);
            return;
        }
    }

    {
        WaitCursorScope wait(m_view);
        m_stage = InstallStage::kStateCheck;
        const int state = CheckPrinterState(m_installation.Device());
        if (state != kCheckOk && state != kCheckIplMode) {
            const bool subPower = state == kCheckNotReady;
            const unsigned id = subPower ? IDS_SUB_POWER_ON : IDS_FIRM_SEND_FAILED;
            strings.Load(id, text);
            m_view.EndWaitCursor();
            Finish(id, text, English(id), subPower ? MessageIcon::kExclamation : MessageIcon::kStop,
                   subPower ? RecordOutcome::kSubPowerOn : RecordOutcome::kFailed, VessickExitCode::INSTALL_FAILED,
                   true);
            m_view.BeginWaitCursor();
            return;
        }
        // Every installation puts the printer into update mode, a panel-only one too; the
        // printer's answer shows later, in the progress dialogs' checks.
        m_installation.Panel().PrepareTransfer(strings);
        // The printer's certificate is settled before anything is sent to it: a question about
        // it comes now, not halfway through.
        m_stage = InstallStage::kCertificate;
        if (!ConfirmPeerTrust()) return;
        m_stage = InstallStage::kUpdateMode;
        m_view.Pause(kUpdateModePauseMs);
        m_bUpdateModeEntered = true;
        m_installation.Firm().EnterUpdateMode();
    }

    const auto run = [&](ProgressDialog dialog, std::uint32_t address) {
        WaitCursorScope wait(m_view);
        m_stage = dialog == ProgressDialog::kFirmware ? InstallStage::kFirmware
                  : dialog == ProgressDialog::kPanel  ? InstallStage::kPanel
                                                      : InstallStage::kRestart;
        return m_view.RunProgressDialog(dialog, m_dwUpdateParts, address);
    };
    if ((m_dwUpdateParts & kPartFirmware) && Conclude(ProgressDialog::kFirmware, run(ProgressDialog::kFirmware, 0))) {
        return;
    }
    if ((m_dwUpdateParts & kPartPanel) && Conclude(ProgressDialog::kPanel, run(ProgressDialog::kPanel, 0))) return;
    Conclude(ProgressDialog::kComplete, run(ProgressDialog::kComplete, NetworkOrder(m_dwPrinterAddress)));
}

bool CVessickDlg::ConfirmPeerTrust() {
    const std::shared_ptr<CPort> port = m_installation.Device().m_pPort;
    if (!port) return true;
    // Both ports the installation will use: the data port (which also learns from the printer
    // whether it wants TLS), and the panel's when the panel application is part of it.
    const bool panel = (m_dwUpdateParts & kPartPanel) != 0;
    PeerCheck check = PeerCheck::kUnreachable;
    m_view.RunResponsive([&] {
        check = port->checkPeerTrust();
        if (check != PeerCheck::kRefused && panel) m_installation.Panel().CheckPeerTrust();
        return true;
    });
    // A TLS peer not reached now is looked at by the transfer's own connection, which asks the
    // same question if it must.
    if (check != PeerCheck::kRefused && (!m_trust || m_trust->Refusal() == TrustRefusal::kNone)) return true;
    m_view.EndWaitCursor();
    EndWithTrustRefusal();
    m_view.BeginWaitCursor();
    return false;
}

void CVessickDlg::EndWithTrustRefusal() {
    // Without a trust (no memory of certificates) no TLS peer is trusted: said as a certificate
    // that could not be read.
    const auto make = [this](const IStringTable& strings) {
        return m_trust ? TrustRefusalMessage(strings, *m_trust, m_bUpdateModeEntered)
                       : CertificateMissingMessage(strings, m_bUpdateModeEntered);
    };
    const TrustMessage message = make(m_services.strings);
    const TrustMessage english = m_services.englishStrings ? make(*m_services.englishStrings) : message;
    Finish(message.id, message.text, english.text, message.icon, RecordOutcome::kCertificateNotTrusted,
           message.exitCode, true);
}

std::wstring CVessickDlg::English(unsigned id, const std::wstring& value) const {
    std::wstring text;
    (m_services.englishStrings ? *m_services.englishStrings : m_services.strings).Load(id, text);
    return value.empty() ? text : FormatMessageText(text, value);
}

std::int64_t CVessickDlg::Now() const {
    if (m_services.wallClockMs) return m_services.wallClockMs();
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void CVessickDlg::Finish(unsigned id, const std::wstring& text, const std::wstring& english, MessageIcon icon,
                         RecordOutcome outcome, int exitCode, bool endDialog) {
    // The installation ended when its message came, not when the user closed it.
    const std::int64_t ended = Now();
    m_view.ShowMessage(text, icon, MessageButtons::kOk);
    if (endDialog) m_view.EndDialog(exitCode);
    if (!m_services.onRecord) return;

    InstallRecord record;
    const PrinterIdentity printer = IdentifiedPrinter();
    record.address = printer.address;
    record.model = printer.model;
    record.serial = printer.serial;
    const CUpdateDeviceInfo& device = m_installation.Device();
    if (!device.m_strModelName.empty()) {
        if (device.m_nFirmVersion >= 0) record.firmwareFound = FormatVersion(device.m_nFirmVersion);
        if (!device.m_panelVersion.IsUnknown()) record.panelFound = FormatPanelVersion(device.m_panelVersion);
    }
    if (outcome == RecordOutcome::kInstalled) {
        if (m_dwUpdateParts & kPartFirmware) m_services.strings.Load(IDS_CFG_FIRM_VERSION, record.firmwareInstalled);
        if (m_dwUpdateParts & kPartPanel) m_services.strings.Load(IDS_CFG_PANEL_VERSION, record.panelInstalled);
    }
    record.outcome = outcome;
    record.stage = outcome == RecordOutcome::kInstalled ? InstallStage::kDone : m_stage;
    record.messageId = id;
    record.message = english;
    if (outcome == RecordOutcome::kCertificateNotTrusted) {
        std::optional<CertificateFingerprint> presented;
        if (m_trust && m_trust->Refusal() == TrustRefusal::kChanged) presented = m_trust->PresentedFingerprint();
        if (!presented) {
            const std::lock_guard lock(m_questioned->mutex);
            presented = m_questioned->sha256;
        }
        if (presented) record.certificateSha256 = text::WidenBytes(text::ToHex(*presented));
    }
    record.exitCode = exitCode;
    record.startedMs = m_nStartedMs;
    record.endedMs = ended;
    m_services.onRecord(record);
}

bool CVessickDlg::Conclude(ProgressDialog dialog, int endCode) {
    const InstallOutcome outcome = ProgressOutcome(dialog, endCode);
    if (outcome.message == 0) return false;
    // A transfer that failed because the printer was not trusted says so, not that sending failed.
    if (endCode != END_SUCCESS && m_trust && m_trust->Refusal() != TrustRefusal::kNone) {
        EndWithTrustRefusal();
        return true;
    }
    std::wstring text;
    m_services.strings.Load(outcome.message, text);
    std::wstring english = English(outcome.message);
    if (outcome.message == IDS_RESTART_NOT_CONFIRMED) {
        // Whole minutes, rounded up: a wait of less than a minute is not "0 minutes".
        const std::wstring minutes = std::to_wstring((m_installation.Waits().restartConfirmMs + 59'999) / 60'000);
        text = FormatMessageText(text, minutes);
        english = FormatMessageText(english, minutes);
    }
    const RecordOutcome recorded = endCode == END_SUCCESS   ? RecordOutcome::kInstalled
                                   : endCode == END_ABORTED ? RecordOutcome::kCanceled
                                                            : RecordOutcome::kFailed;
    Finish(outcome.message, text, english, outcome.icon, recorded, outcome.exitCode, true);
    return true;
}

void CVessickDlg::Identify() {
    m_dwPrinterAddress = m_view.HasControl(IDC_IP_ADDRESS) ? m_view.Address() : 0;
    const std::uint32_t networkOrder = NetworkOrder(m_dwPrinterAddress);

    int result;
    PortPtr port;
    m_stage = InstallStage::kIdentification;
    m_nStartedMs = Now();
    {
        WaitCursorScope wait(m_view);
        if (m_dwPortType == kPortTypeDllEthernet1 && m_services.makePrinterPort) {
            port = m_services.makePrinterPort(networkOrder);
        }
        m_installation.Panel().SetHostAddress(DottedIpv4(networkOrder));
        result = m_installation.Identifier().CheckDevice(port, 0);
    }

    const IStringTable& strings = m_services.strings;
    std::wstring message;
    switch (result) {
        case kCheckBothNeeded:
        case kCheckFirmwareOnly:
        case kCheckPanelOnly:
            m_dwUpdateParts = result == kCheckBothNeeded    ? kPartFirmware | kPartPanel
                              : result == kCheckFirmwareOnly ? kPartFirmware
                                                             : kPartPanel;
            TrustIdentifiedPrinter();
            ShowStep(true);
            return;
        case kCheckNoModel: {
            // A printer of a model this installer does not serve is named; one that gave no model
            // name at all is not.
            const std::wstring& model = m_installation.Device().m_strModelName;
            const std::wstring shown = model.empty() ? std::wstring(kUnknownModel) : model;
            strings.Load(IDS_UNSUPPORTED_MODEL, message);
            Finish(IDS_UNSUPPORTED_MODEL, FormatMessageText(message, shown), English(IDS_UNSUPPORTED_MODEL, shown),
                   MessageIcon::kExclamation, RecordOutcome::kUnsupportedModel, VessickExitCode::INSTALL_FAILED,
                   false);
            break;
        }
        case kCheckUpToDate: {
            const std::int32_t found = m_installation.Device().m_nFirmVersion;
            const std::wstring version = FormatVersion(found);
            strings.Load(IDS_UP_TO_DATE, message);
            // A printer that did not say which firmware it runs is not known to be up to date:
            // the record does not count it as a success.
            const bool known = found >= 0;
            Finish(IDS_UP_TO_DATE, FormatMessageText(message, version), English(IDS_UP_TO_DATE, version),
                   MessageIcon::kInformation, known ? RecordOutcome::kUpToDate : RecordOutcome::kFailed,
                   known ? VessickExitCode::SUCCESS : VessickExitCode::INSTALL_FAILED, false);
            break;
        }
        default:
            strings.Load(IDS_PRINTER_NOT_FOUND, message);
            Finish(IDS_PRINTER_NOT_FOUND, message, English(IDS_PRINTER_NOT_FOUND), MessageIcon::kExclamation,
                   RecordOutcome::kNotFound, VessickExitCode::INSTALL_FAILED, false);
            break;
    }
    port.reset();  // the port that identified nothing is released and deleted
}

PrinterIdentity CVessickDlg::IdentifiedPrinter() const {
    PrinterIdentity printer;
    printer.address = text::WidenBytes(DottedIpv4(NetworkOrder(m_dwPrinterAddress)));
    printer.model = m_installation.Device().m_strModelName;
    for (std::size_t i = 0; i < m_printers.GetSize(); ++i) {
        const CPrinterInfo& entry = m_printers[i];
        if (entry.m_nPortType != CPrinterInfo::kNetwork || entry.m_dwIPAddress != m_dwPrinterAddress) continue;
        if (printer.serial.empty()) printer.serial = entry.m_strSerialNum;
        // The service text is "instance host": the host name follows the space.
        const std::size_t space = entry.m_strService.find(L' ');
        if (printer.hostName.empty() && space != std::wstring::npos) {
            printer.hostName = entry.m_strService.substr(space + 1);
            if (!printer.hostName.empty() && printer.hostName.back() == L'.') printer.hostName.pop_back();
        }
    }
    return printer;
}

void CVessickDlg::TrustIdentifiedPrinter() {
    m_trust.reset();
    if (m_services.certificates) {
        const IStringTable& strings = m_services.strings;
        auto ask = [&strings, askUser = m_services.askUser, decide = m_services.decideFirstSeen,
                    questioned = m_questioned](const PrinterIdentity& printer, const CertificateFingerprint& presented) {
            {
                const std::lock_guard lock(questioned->mutex);
                questioned->sha256 = presented;
            }
            if (decide) return decide(printer, presented);
            return askUser && askUser(TrustQuestionText(strings, printer, presented));
        };
        m_trust = std::make_shared<CPrinterTrust>(IdentifiedPrinter(), *m_services.certificates, std::move(ask));
    }
    // Without a trust the ports trust no TLS peer: such a printer gets nothing.
    if (const std::shared_ptr<CPort>& port = m_installation.Device().m_pPort) port->setPeerTrust(m_trust);
    m_installation.Panel().SetPeerTrust(m_trust);
}

std::wstring CVessickDlg::SelectedRowToolTip() {
    const int row = m_view.SelectedRow();
    if (row < 0) return {};
    return ToolTipText(m_view.RowText(row));
}

bool CVessickDlg::OnSysCommand(unsigned id) {
    if ((id & 0xFFF0u) != IDM_ABOUTBOX) return false;
    if (m_bBusy) return true;
    m_view.ShowAbout(AboutText(m_services.strings));
    return true;
}
