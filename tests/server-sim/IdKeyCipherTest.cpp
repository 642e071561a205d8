#include <gtest/gtest.h>

#include <string>

#include "CIdKeyCipher.h"
#include "TestAes.h"

namespace {

using serversim_test::AesPkcs7;
using serversim_test::Be64;

const std::string kIdKey = "0123456789abcdef";

// Check keys: the PC's bytes are accepted, anything else is refused with nothing read out.
TEST(IdKeyCipherTest, CheckKeyIsPaddedAesOfIdAndTime) {
  CIdKeyCipher cipher(kIdKey);
  std::string key = cipher.BuildCheckKey(700000000001, 1700000000);
  EXPECT_EQ(key, serversim_test::CheckKey(kIdKey, 700000000001, 1700000000));
  ASSERT_EQ(key.size(), 32u);
  // The second block is a whole block of padding.
  EXPECT_EQ(AesPkcs7(false, kIdKey, key), Be64(700000000001) + Be64(1700000000));

  int64_t idPc = 0;
  int64_t svrTime = 0;
  ASSERT_TRUE(cipher.OpenCheckKey(key, &idPc, &svrTime));
  EXPECT_EQ(idPc, 700000000001);
  EXPECT_EQ(svrTime, 1700000000);
}

TEST(IdKeyCipherTest, OpenRefusesWrongKeyPadAndSize) {
  CIdKeyCipher cipher(kIdKey);
  int64_t idPc = 0;
  int64_t svrTime = 0;
  std::string plain = Be64(5) + Be64(6);
  // A pad block whose last byte is right but one other pad byte is not.
  std::string badPad = plain + std::string(15, '\x10') + '\x10';
  badPad[20] = '\x0F';
  std::string sealedBadPad = AesPkcs7(true, kIdKey, badPad).substr(0, 32);
  std::string good = cipher.BuildCheckKey(5, 6);
  for (const std::string& key :
       {sealedBadPad, CIdKeyCipher("fedcba9876543210").BuildCheckKey(5, 6), good.substr(0, 16),
        good + good.substr(0, 16), good.substr(0, 31), std::string()}) {
    EXPECT_FALSE(cipher.OpenCheckKey(key, &idPc, &svrTime)) << key.size();
  }
  EXPECT_EQ(idPc, 0);
}

// Unbind records: 48 bytes each way, the layout checked through an independent decipher.
TEST(IdKeyCipherTest, UnbindRecordRoundTrip) {
  CIdKeyCipher cipher(kIdKey);
  std::string record = cipher.BuildUnbindRecord(-3, 4242, "PHONEKEY12345678");
  ASSERT_EQ(record.size(), 48u);
  EXPECT_EQ(AesPkcs7(false, kIdKey, record), Be64(-3) + Be64(4242) + "PHONEKEY12345678");
  int64_t idPc = 0;
  int64_t idPhone = 0;
  std::string phoneKey;
  ASSERT_TRUE(cipher.OpenUnbindRecord(record, &idPc, &idPhone, &phoneKey));
  EXPECT_EQ(idPc, -3);
  EXPECT_EQ(idPhone, 4242);
  EXPECT_EQ(phoneKey, "PHONEKEY12345678");
  // A check key is not a record, and a 15-byte phone key makes none.
  EXPECT_FALSE(cipher.OpenUnbindRecord(cipher.BuildCheckKey(1, 2), &idPc, &idPhone, &phoneKey));
  EXPECT_TRUE(cipher.BuildUnbindRecord(1, 2, "short").empty());
}

}  // namespace
