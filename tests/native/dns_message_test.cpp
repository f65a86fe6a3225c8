// The DNS message codec of the mDNS search.
#include <gtest/gtest.h>

#include "discovery/DnsMessage.h"
