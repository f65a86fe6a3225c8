// The candidate printer record.
#include "discovery/PrinterInfo.h"

CPrinterInfo::CPrinterInfo(std::wstring model, std::uint32_t address, std::wstring nickName, std::wstring service,
                           std::wstring serial)
    : m_nPortType(kNetwork),
      m_strModel(std::move(model)),
      m_strNickName(std::move(nickName)),
      m_dwIPAddress(address),
      m_strService(std::move(service)),
      m_strSerialNum(std::move(serial)) {}

CPrinterInfo::CPrinterInfo(std::wstring model, std::wstring usbPortName, std::wstring nickName, std::wstring serial)
    : m_nPortType(kUsb),
      m_strModel(std::move(model)),
      m_strNickName(std::move(nickName)),
      m_strUSBPortName(std::move(usbPortName)),
      m_dwIPAddress(0),
      m_strSerialNum(std::move(serial)) {}
