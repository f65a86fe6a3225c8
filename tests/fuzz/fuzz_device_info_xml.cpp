// DeviceInfo.xml reading on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "discovery/DeviceInfoXml.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CPrinterInfoList list;
    ParseDeviceInfoXml(Utf8FileText(std::string_view(reinterpret_cast<const char*>(data), size)), list);
    return 0;
}
