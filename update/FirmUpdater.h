// The firmware updater: holds the firmware description and the restored image, and makes the
// checks around the transfer (ready to install, update mode, still answering, new version).
#pragma once

#include <atomic>
#include <memory>

#include "images/FirmImage.h"
#include "update/UpdateModel.h"

class CFirmUpdater : public CUpdater {
public:
    // The firmware updater of the installation whose printer `device` describes.
    explicit CFirmUpdater(std::shared_ptr<CUpdateDeviceInfo> device) : CUpdater(std::move(device)) {}

    // Takes the description and the image, together, once. Refused (both stay with the caller)
    // when either is null, when the updater already holds either, or when a printer port is
    // already attached.
    bool SetUpdateData(std::unique_ptr<CFirmUpdateInfo>& info, std::unique_ptr<CPufFirmImage>& image);
    // The same with a description and an image that other installations share (read only).
    bool SetUpdateData(std::shared_ptr<const CFirmUpdateInfo> info, std::shared_ptr<const CPufFirmImage> image);

    bool IsSetUp() const { return m_pInfo && m_pImage; }

    // Asks the attached printer to enter firmware-update mode. False when not set up, when no
    // port is attached, or when the printer refused.
    virtual bool EnterUpdateMode();

    // Sends the restored image (its firmware bytes, without the trailing zero byte) through the
    // attached port in the port's default blocks, up to three attempts, stopping at the first that
    // succeeds. False when not set up, when no port is attached, or when all three failed. When
    // `stop` is set, no further attempt begins (the one under way runs to its end) and the result
    // is false. Runs on a worker while the user-interface thread waits for it; the port is shared
    // for as long as the transfer runs.
    bool SendImage(const std::atomic<bool>* stop = nullptr);

    // 0 when the printer answers an information query, 4 when it does not, 3 when not set up or
    // no port is attached.
    int IsDeviceResponding();

    // After the transfer: 0 when the printer reports the carried version (the port is then
    // released), 6 another version, 8 IPL mode, 5 a model not in the list, 4 query failed,
    // 3 not decidable yet.
    int VerifyInstalled();

    std::shared_ptr<const CFirmUpdateInfo> m_pInfo;
    std::shared_ptr<const CPufFirmImage> m_pImage;
};

// Before the transfer: may installing begin for the printer `device` describes? 0 ready (status
// bit 31 set), 7 not ready, 8 IPL mode, 4 query failed, 3 no port or no status word.
int CheckPrinterState(const CUpdateDeviceInfo& device);
