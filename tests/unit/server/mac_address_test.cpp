#include "server/mac_address.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/trace_recorder.h"

namespace {

using platform::AdapterRecord;
using Traces = std::vector<std::string>;

// What the injected reader hands out, and what it was asked.
std::vector<AdapterRecord> Listed;
uint32_t Error = 0;
uint32_t NeededBytes = 0;  // when set, smaller offers get the overflow answer
bool AlwaysOverflow = false;
std::vector<uint32_t> Offers;

uint32_t FakeReader(uint32_t* bufferSize, std::vector<AdapterRecord>* adapters) {
  Offers.push_back(*bufferSize);
  if (AlwaysOverflow || (NeededBytes != 0 && *bufferSize < NeededBytes)) {
    *bufferSize = NeededBytes;
    return platform::kErrorBufferOverflow;
  }
  if (Error != 0) {
    return Error;
  }
  *adapters = Listed;
  return 0;
}

AdapterRecord Adapter(std::vector<uint8_t> bytes, std::string gateway) {
  AdapterRecord record{};
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    record.address[i] = bytes[i];
  }
  record.gateway = std::move(gateway);
  return record;
}

class MacAddressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Listed.clear();
    Error = 0;
    NeededBytes = 0;
    AlwaysOverflow = false;
    Offers.clear();
    SetAdapterListReader(&FakeReader);
  }
  void TearDown() override { SetAdapterListReader(nullptr); }
};

TEST_F(MacAddressTest, TheFirstAdapterWithAGatewayIsTheAnswer) {
  struct Row {
    const char* name;
    std::vector<AdapterRecord> adapters;
    std::string address;
    Traces traces;
  };
  const std::vector<Row> rows = {
      {"second has the gateway",
       {Adapter({1, 2, 3, 4, 5, 6}, "0.0.0.0"),
        Adapter({0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}, "192.168.1.1")},
       "00-1A-2B-3C-4D-5E",
       {"1. 0.0.0.0 \n", "2. 192.168.1.1 \n"}},
      {"upper-case digits",
       {Adapter({0xAB, 0xCD, 0xEF, 0xfa, 0x0b, 0xc0}, "10.0.0.1")},
       "AB-CD-EF-FA-0B-C0",
       {"1. 10.0.0.1 \n"}},
      {"an empty gateway text qualifies",
       {Adapter({0, 0, 0, 0, 0, 9}, "")},
       "00-00-00-00-00-09",
       {"1.  \n"}},
      {"none qualifies",
       {Adapter({1, 1, 1, 1, 1, 1}, "0.0.0.0"), Adapter({2, 2, 2, 2, 2, 2}, "0.0.0.0")},
       "",
       {"1. 0.0.0.0 \n", "2. 0.0.0.0 \n"}},
      {"the walk stops at the first",
       {Adapter({1, 1, 1, 1, 1, 1}, "10.0.0.1"), Adapter({2, 2, 2, 2, 2, 2}, "10.0.0.2")},
       "01-01-01-01-01-01",
       {"1. 10.0.0.1 \n"}},
  };
  for (const Row& row : rows) {
    Listed = row.adapters;
    const testing_support::TraceRecorder traces;
    EXPECT_EQ(GetMACAddress(), row.address) << row.name;
    EXPECT_EQ(traces.Lines(), row.traces) << row.name;
  }
}

TEST_F(MacAddressTest, AnUnreadableListGivesAnEmptyAddressAndATrace) {
  Error = platform::kErrorNoData;
  const testing_support::TraceRecorder traces;
  EXPECT_EQ(GetMACAddress(), "");
  EXPECT_EQ(
      traces.Lines(),
      Traces{"\n\n GetMACAddress ERROR_SUCCESS 01Error for GetAdaptersInfo : 232 ===== \r\n"});
  EXPECT_EQ(Offers, std::vector<uint32_t>{kAdapterListBytes});
}

TEST_F(MacAddressTest, AListThatDoesNotFitIsReadOnceMoreWithTheRoomAskedFor) {
  Listed.assign(30, Adapter({1, 2, 3, 4, 5, 6}, "0.0.0.0"));
  Listed.push_back(Adapter({6, 5, 4, 3, 2, 1}, "10.0.0.1"));
  NeededBytes = 31 * 640;
  EXPECT_EQ(GetMACAddress(), "06-05-04-03-02-01");
  EXPECT_EQ(Offers, (std::vector<uint32_t>{kAdapterListBytes, 31 * 640}));
}

TEST_F(MacAddressTest, OnlyOneRetry) {
  NeededBytes = 20000;
  AlwaysOverflow = true;  // a list that grows between the two calls
  const testing_support::TraceRecorder traces;
  EXPECT_EQ(GetMACAddress(), "");
  EXPECT_EQ(Offers.size(), 2U);
  EXPECT_EQ(
      traces.Lines(),
      Traces{"\n\n GetMACAddress ERROR_SUCCESS 01Error for GetAdaptersInfo : 111 ===== \r\n"});
}

}  // namespace
