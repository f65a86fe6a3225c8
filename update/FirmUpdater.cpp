// Checks around the firmware transfer.
#include "update/FirmUpdater.h"

#include "common/Text.h"
#include "update/DeviceReply.h"

namespace {

constexpr std::uint32_t kReadyBit = 0x80000000u;
constexpr int kSendAttempts = 3;
constexpr std::uint32_t kDefaultBlockSize = 0;

}  // namespace

bool CFirmUpdater::SetUpdateData(std::unique_ptr<CFirmUpdateInfo>& info, std::unique_ptr<CPufFirmImage>& image) {
    if (!info || !image || m_pInfo || m_pImage || Device().m_pPort) return false;
    m_pInfo = std::move(info);
    m_pImage = std::move(image);
    return true;
}

bool CFirmUpdater::SetUpdateData(std::shared_ptr<const CFirmUpdateInfo> info,
                                 std::shared_ptr<const CPufFirmImage> image) {
    if (!info || !image || m_pInfo || m_pImage || Device().m_pPort) return false;
    m_pInfo = std::move(info);
    m_pImage = std::move(image);
    return true;
}

bool CFirmUpdater::EnterUpdateMode() {
    CPort* port = Device().m_pPort.get();
    if (!IsSetUp() || !port) return false;
    return port->startUpdate();
}

bool CFirmUpdater::SendImage(const std::atomic<bool>* stop) {
    // Held for the whole transfer: the port outlives it whatever the owner does meanwhile.
    const std::shared_ptr<CPort> port = Device().m_pPort;
    if (!IsSetUp() || !port || !m_pImage->m_pData) return false;
    for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
        if (stop && stop->load()) return false;
        if (port->sendData(m_pImage->m_pData.get(), m_pImage->m_nSize, kDefaultBlockSize)) return true;
    }
    return false;
}

int CFirmUpdater::IsDeviceResponding() {
    CPort* port = Device().m_pPort.get();
    if (!IsSetUp() || !port) return kCheckNoAnswer;
    std::wstring reply;
    return port->queryInformation(reply) ? kCheckOk : kCheckQueryFailed;
}

int CFirmUpdater::VerifyInstalled() {
    CPort* port = Device().m_pPort.get();
    if (!IsSetUp() || !port) return kCheckNoAnswer;
    ReplyMap reply;
    if (const int result = QueryReplyToVerify(*port, m_pInfo->m_models, reply); result != kCheckOk) return result;
    const std::int32_t version = GetReplyVersion(reply);
    if (version < 0) return kCheckNoAnswer;
    if (version != m_pInfo->m_nVersion) return kCheckUpToDate;
    port->release();
    return kCheckOk;
}

int CheckPrinterState(const CUpdateDeviceInfo& device) {
    if (!device.m_pPort) return kCheckNoAnswer;
    std::wstring text;
    if (!device.m_pPort->queryInformation(text)) return kCheckQueryFailed;
    DeviceReply reply;
    if (!CheckReplyStatus(reply, text, device.m_nStatusFormat)) return kCheckNoAnswer;
    if (IsReplyIplMode(reply.map)) return kCheckIplMode;
    if (!reply.status.empty() && (text::ReadUnsignedLong(reply.status, 16) & kReadyBit) != 0) return kCheckOk;
    return kCheckNotReady;
}
