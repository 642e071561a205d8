// Disk identity decoding: the storage answer comes from a device driver, so its offsets and
// texts are checked, never trusted.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "DiskIdentity.h"
#include "win32/devio.h"

namespace {

using ZyMacID::DecodeStorageText;
using ZyMacID::DiskIdentity;

std::vector<uint8_t> Descriptor(uint32_t productOffset, uint32_t revisionOffset,
                                uint32_t serialOffset, size_t size) {
  std::vector<uint8_t> answer(size, 0);
  win32::STORAGE_DEVICE_DESCRIPTOR descriptor = {};
  descriptor.Size = static_cast<win32::DWORD>(size);
  descriptor.ProductIdOffset = productOffset;
  descriptor.ProductRevisionOffset = revisionOffset;
  descriptor.SerialNumberOffset = serialOffset;
  memcpy(answer.data(), &descriptor, std::min(size, sizeof(descriptor)));
  return answer;
}

void Put(std::vector<uint8_t>* pAnswer, size_t offset, const char* text, bool withNul = true) {
  memcpy(pAnswer->data() + offset, text, strlen(text) + (withNul ? 1 : 0));
}

TEST(DiskIdentityTest, DecodesHexAndRawTexts) {
  EXPECT_EQ(DecodeStorageText("31323334", true), "2143");
  EXPECT_EQ(DecodeStorageText("2020574433", false), "WD3");  // decoded, blanks trimmed
  EXPECT_EQ(DecodeStorageText("  S3Z9NB0K  ", false), "S3Z9NB0K");
  EXPECT_EQ(DecodeStorageText("0102", false), "0102");  // decodes to control bytes: raw
  EXPECT_EQ(DecodeStorageText("AB\x01", false), "");
  EXPECT_EQ(DecodeStorageText("", true), "");
}

TEST(DiskIdentityTest, ReadsAWellFormedAnswer) {
  size_t base = sizeof(win32::STORAGE_DEVICE_DESCRIPTOR);
  std::vector<uint8_t> answer = Descriptor(base, base + 20, base + 30, base + 60);
  Put(&answer, base, "Kestrel SSD 500");
  Put(&answer, base + 20, "RVT01B6Q");
  Put(&answer, base + 30, "53335a394e42304b");  // "S3Z9NB0K", hex-coded
  DiskIdentity identity;
  ASSERT_TRUE(ZyMacID::ParseStorageIdentity(answer, &identity));
  EXPECT_EQ(identity.serial, "3S9ZBNK0");
  EXPECT_EQ(identity.model, "Kestrel SSD 500");
  EXPECT_EQ(identity.revision, "RVT01B6Q");
}

// Offsets at or past the bytes returned, and texts running into the end, stay inside the answer
// (the address sanitizer build turns any overread into a failure).
TEST(DiskIdentityTest, HostileOffsetsStayInsideTheAnswer) {
  size_t base = sizeof(win32::STORAGE_DEVICE_DESCRIPTOR);
  std::vector<uint8_t> answer = Descriptor(0xFFFFFFF0u, base + 100, base, base + 8);
  Put(&answer, base, "ABCDEFGH", false);  // no NUL before the end
  DiskIdentity identity;
  ASSERT_TRUE(ZyMacID::ParseStorageIdentity(answer, &identity));
  EXPECT_EQ(identity.serial, "BADCFEHG");
  EXPECT_EQ(identity.model, "");
  EXPECT_EQ(identity.revision, "");

  EXPECT_EQ(ZyMacID::StorageTextAt(answer, static_cast<uint32_t>(answer.size())), "");
  std::vector<uint8_t> shortAnswer = Descriptor(base, base, base, 12);
  EXPECT_FALSE(ZyMacID::ParseStorageIdentity(shortAnswer, &identity));
}

TEST(DiskIdentityTest, IdentifyWordsGiveHighByteFirst) {
  uint8_t data[512] = {};
  const char* serial = "1234567890abcdefghij";  // words 10-19, stored byte-swapped
  for (int i = 0; i < 20; i += 2) {
    data[20 + i] = static_cast<uint8_t>(serial[i + 1]);
    data[20 + i + 1] = static_cast<uint8_t>(serial[i]);
  }
  const char* model = "KX1000DM003         ";  // words 27-36; 37-46 stay blank
  for (int i = 0; i < 20; i += 2) {
    data[54 + i] = static_cast<uint8_t>(model[i + 1]);
    data[54 + i + 1] = static_cast<uint8_t>(model[i]);
  }
  for (int i = 20; i < 40; ++i) data[54 + i] = ' ';
  data[46] = 'C';  // word 23: "CC"
  data[47] = 'C';
  DiskIdentity identity;
  ZyMacID::ParseIdentifyData(data, &identity);
  EXPECT_EQ(identity.serial, "1234567890abcdefghij");
  EXPECT_EQ(identity.model, "KX1000DM003");
  EXPECT_EQ(identity.revision, "CC");
}

}  // namespace
