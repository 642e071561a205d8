#pragma once

// Golden phone frames: one request under each encode type, computed outside our code (the
// protobuf bytes by hand, XOR by hand, AES with `openssl enc -aes-128-ecb -nopad -K <hex key>`
// over the padded plaintext). Both the peers and the library are pinned to these bytes.
//
// Common header values, chosen so that every byte position differs:
//   dest (PC id)    0x0011223344556677
//   src (phone id)  0x0000000076543210
//   result 0, reserved 0
// Keys are used as their 16 text bytes, never hex-decoded.
// check_code 0x5B2D7E61 is the varint e1 fc b5 d9 05 (field 1: 08 e1 fc b5 d9 05).

#include <cstdint>

namespace golden {

inline constexpr int64_t kPcId = 0x0011223344556677;
inline constexpr int64_t kPhoneId = 0x76543210;
inline constexpr char kDeviceKey[] = "0123456789abcdef";
inline constexpr char kBindKey[] = "fedcba9876543210";

// Type 1, cmd 6006, seq 0x0A0B0C0D, echo 0x01020304, total 50.
// Body C2CPhoneUploadFilesReq {check_code, files_total 3, files_ok 0}:
//   08 e1 fc b5 d9 05 10 03 18 00
// XOR with "01234567" (the device key's first 8 characters), repeating:
//   38 d0 ce 86 ed 30 26 34 28 31
inline constexpr char kXorPlainHex[] = "08e1fcb5d90510031800";
inline constexpr char kXorFrameHex[] =
    "77de"                   // magic
    "0011223344556677"       // dest
    "0000000076543210"       // src
    "1776"                   // command
    "0a0b0c0d"               // sequence
    "00000032"               // total length
    "01020304"               // echo
    "0000"                   // result
    "0001"                   // encode type
    "00000000"               // reserved
    "38d0ce86ed3026342831";  // body

// Type 2 (device key), cmd 6001, seq 2, echo 0x102, total 56.
// Body C2CPhoneLoginReq {check_code}: 08 e1 fc b5 d9 05, padded with ten 0x0a.
inline constexpr char kAesDevicePlainHex[] = "08e1fcb5d905";
inline constexpr char kAesDeviceFrameHex[] =
    "77de"                               // magic
    "0011223344556677"                   // dest
    "0000000076543210"                   // src
    "1771"                               // command
    "00000002"                           // sequence
    "00000038"                           // total length
    "00000102"                           // echo
    "0000"                               // result
    "0002"                               // encode type
    "00000000"                           // reserved
    "6bb82bfdae7b19ac3e0e0f121b1157ea";  // body

// Type 3 (bind key), cmd 6003, seq 1, echo 1, total 72.
// Body C2CPhoneBindReq {check_code, phone_name "Ostra 7a"}: exactly 16 bytes, so the pad is a
// whole second block of sixteen 0x10:
//   08 e1 fc b5 d9 05 2a 08 4f 73 74 72 61 20 37 61
inline constexpr char kAesBindPlainHex[] = "08e1fcb5d9052a084f73747261203761";
inline constexpr char kAesBindFrameHex[] =
    "77de"                               // magic
    "0011223344556677"                   // dest
    "0000000076543210"                   // src
    "1773"                               // command
    "00000001"                           // sequence
    "00000048"                           // total length
    "00000001"                           // echo
    "0000"                               // result
    "0003"                               // encode type
    "00000000"                           // reserved
    "5f2bd0b4d9a11fda7a237f66b72d6995"   // body
    "97add3dd0793c76e1172d881d18e7307";  // body

// Pad edges under kDeviceKey: plaintext = bytes 00 01 02 ... (n-1).
struct PadVector {
  int plainSize;
  const char* cipherHex;
};
inline constexpr PadVector kPadVectors[] = {
    {0, "377222e061a924c591cd9c27ea163ed4"},  // one block of sixteen 0x10
    {15, "58d5273b7f786bb5252c6bbed9d090cd"},
    {16,
     "a07999f0e2bfbe16f99593e984a449b7"
     "377222e061a924c591cd9c27ea163ed4"},
    {17,
     "a07999f0e2bfbe16f99593e984a449b7"
     "bcd530314717a021e80b91a1842b45fa"},
};

}  // namespace golden
