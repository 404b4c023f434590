#include "platform/counted_string.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string_view>

#include "platform/heap.h"

namespace {

using platform::UniqueBstr;

class CountedStringTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::FailAllocationAfter(-1); }
};

// The 32-bit byte count stored just before the first unit, as a BSTR keeps it.
uint32_t StoredByteCount(platform::Bstr string) {
  uint32_t count = 0;
  std::memcpy(&count, reinterpret_cast<const char*>(string) - sizeof(count), sizeof(count));
  return count;
}

TEST_F(CountedStringTest, NullTextGivesNullAndNullHasLengthZero) {
  EXPECT_EQ(platform::SysAllocString(nullptr), nullptr);
  EXPECT_EQ(platform::SysStringLen(nullptr), 0U);
  platform::SysFreeString(nullptr);
}

TEST_F(CountedStringTest, EmptyStringIsNotNull) {
  const UniqueBstr empty(platform::SysAllocString(u""));
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(platform::SysStringLen(empty.get()), 0U);
  EXPECT_EQ(empty.get()[0], u'\0');
}

TEST_F(CountedStringTest, AllocStringCopiesUpToTheTerminator) {
  const UniqueBstr string(platform::SysAllocString(u"h\u00e9llo"));
  ASSERT_NE(string, nullptr);
  EXPECT_EQ(std::u16string_view(string.get(), platform::SysStringLen(string.get())), u"h\u00e9llo");
  EXPECT_EQ(string.get()[5], u'\0');
}

TEST_F(CountedStringTest, StoredLengthCountsEmbeddedZerosAndLayoutIsABstrs) {
  constexpr std::u16string_view kText(u"a\0b\0", 4);
  const UniqueBstr string(platform::SysAllocStringLen(kText.data(), 4));
  ASSERT_NE(string, nullptr);
  EXPECT_EQ(platform::SysStringLen(string.get()), 4U);
  EXPECT_EQ(StoredByteCount(string.get()), 8U);
  EXPECT_EQ(std::u16string_view(string.get(), 4), kText);
  EXPECT_EQ(string.get()[4], u'\0');
}

TEST_F(CountedStringTest, AllocLenTakesOnlyTheGivenUnits) {
  const UniqueBstr string(platform::SysAllocStringLen(u"abcdef", 3));
  ASSERT_NE(string, nullptr);
  EXPECT_EQ(std::u16string_view(string.get(), platform::SysStringLen(string.get())), u"abc");
  EXPECT_EQ(string.get()[3], u'\0');
}

TEST_F(CountedStringTest, AllocLenWithoutTextIsZeroedAndTerminated) {
  constexpr uint32_t kUnits = 257;
  const UniqueBstr string(platform::SysAllocStringLen(nullptr, kUnits));
  ASSERT_NE(string, nullptr);
  EXPECT_EQ(platform::SysStringLen(string.get()), kUnits);
  for (uint32_t i = 0; i <= kUnits; ++i) {
    ASSERT_EQ(string.get()[i], u'\0') << "unit " << i;
  }
}

TEST_F(CountedStringTest, LengthWhoseByteCountOverflowsIsRefused) {
  EXPECT_EQ(platform::SysAllocStringLen(nullptr, 0x80000000U), nullptr);
  EXPECT_EQ(platform::SysAllocStringLen(nullptr, 0xFFFFFFFFU), nullptr);
}

TEST_F(CountedStringTest, InjectedFaultFailsExactlyTheChosenAllocation) {
  platform::FailAllocationAfter(1);
  const UniqueBstr first(platform::SysAllocString(u"one"));
  const UniqueBstr second(platform::SysAllocStringLen(u"two", 3));
  const UniqueBstr third(platform::SysAllocStringLen(nullptr, 2));
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(third, nullptr);
}

TEST_F(CountedStringTest, InjectedFaultFailsBothAllocators) {
  platform::FailAllocationAfter(0);
  EXPECT_EQ(platform::SysAllocString(u"x"), nullptr);
  platform::FailAllocationAfter(0);
  EXPECT_EQ(platform::SysAllocStringLen(nullptr, 1), nullptr);
}

TEST_F(CountedStringTest, NegativeCountDisarmsTheInjector) {
  platform::FailAllocationAfter(0);
  platform::FailAllocationAfter(-1);
  const UniqueBstr string(platform::SysAllocString(u"x"));
  EXPECT_NE(string, nullptr);
}

TEST_F(CountedStringTest, InjectedFaultIsSharedWithTheHeap) {
  platform::FailAllocationAfter(1);
  const platform::UniqueBytes bytes(static_cast<uint8_t*>(platform::HeapAllocate(4)));
  EXPECT_NE(bytes, nullptr);
  EXPECT_EQ(platform::SysAllocString(u"x"), nullptr);
  const platform::UniqueBytes after(static_cast<uint8_t*>(platform::HeapAllocate(4)));
  EXPECT_NE(after, nullptr);
}

}  // namespace
