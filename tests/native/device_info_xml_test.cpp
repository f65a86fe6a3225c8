// DeviceInfo.xml and the registered printer records.
#include <gtest/gtest.h>

#include "discovery/DeviceInfoXml.h"
