#pragma once
// Device control for the disk identity: "\\.\PhysicalDriveN" opened through CreateFileW, the
// storage property query, and the SMART and SCSI miniport request shapes.
//
// PhysicalDrive0 is the disk holding "/", then the other whole disks in natural name order
// (loop, ram, zram, dm-, sr, fd and nbd devices are not disks here). Opening one with read or
// write access fails with ERROR_ACCESS_DENIED, as it does for an unprivileged user on Windows;
// opened with no access rights it answers IOCTL_STORAGE_QUERY_PROPERTY from sysfs and nothing
// else. "\\.\ScsiN:" and every other "\\.\" name do not exist (ERROR_FILE_NOT_FOUND).

#include "win32/base.h"
#include "win32/overlapped.h"

namespace win32 {

constexpr DWORD IOCTL_STORAGE_QUERY_PROPERTY = 0x002D1400;
constexpr DWORD SMART_GET_VERSION = 0x00074080;
constexpr DWORD SMART_RCV_DRIVE_DATA = 0x0007C088;
constexpr DWORD IOCTL_SCSI_MINIPORT = 0x0004D008;
constexpr DWORD IOCTL_SCSI_MINIPORT_IDENTIFY = 0x001B0501;

constexpr BYTE ID_CMD = 0xEC;
constexpr BYTE ATAPI_ID_CMD = 0xA1;
constexpr DWORD IDENTIFY_BUFFER_SIZE = 512;

enum STORAGE_PROPERTY_ID : int32_t { StorageDeviceProperty = 0 };
enum STORAGE_QUERY_TYPE : int32_t { PropertyStandardQuery = 0, PropertyExistsQuery = 1 };
enum STORAGE_BUS_TYPE : int32_t { BusTypeUnknown = 0, BusTypeVirtual = 0x0E, BusTypeNvme = 0x11 };

struct STORAGE_PROPERTY_QUERY {
  STORAGE_PROPERTY_ID PropertyId;
  STORAGE_QUERY_TYPE QueryType;
  BYTE AdditionalParameters[1];
};

struct STORAGE_DESCRIPTOR_HEADER {
  DWORD Version;
  DWORD Size;
};

// The texts follow the structure; each offset counts from its start, 0 meaning "absent".
struct STORAGE_DEVICE_DESCRIPTOR {
  DWORD Version;
  DWORD Size;  // of the whole answer, even when the caller's buffer held less
  BYTE DeviceType;
  BYTE DeviceTypeModifier;
  BOOLEAN RemovableMedia;
  BOOLEAN CommandQueueing;
  DWORD VendorIdOffset;
  DWORD ProductIdOffset;
  DWORD ProductRevisionOffset;
  DWORD SerialNumberOffset;
  STORAGE_BUS_TYPE BusType;
  DWORD RawPropertiesLength;
  BYTE RawDeviceProperties[1];
};

// SMART and SCSI miniport requests keep their byte-packed wire shapes.
#pragma pack(push, 1)
struct GETVERSIONINPARAMS {
  BYTE bVersion;
  BYTE bRevision;
  BYTE bReserved;
  BYTE bIDEDeviceMap;
  DWORD fCapabilities;
  DWORD dwReserved[4];
};

struct IDEREGS {
  BYTE bFeaturesReg;
  BYTE bSectorCountReg;
  BYTE bSectorNumberReg;
  BYTE bCylLowReg;
  BYTE bCylHighReg;
  BYTE bDriveHeadReg;
  BYTE bCommandReg;
  BYTE bReserved;
};

struct SENDCMDINPARAMS {
  DWORD cBufferSize;
  IDEREGS irDriveRegs;
  BYTE bDriveNumber;
  BYTE bReserved[3];
  DWORD dwReserved[4];
  BYTE bBuffer[1];
};

struct DRIVERSTATUS {
  BYTE bDriverError;
  BYTE bIDEError;
  BYTE bReserved[2];
  DWORD dwReserved[2];
};

struct SENDCMDOUTPARAMS {
  DWORD cBufferSize;
  DRIVERSTATUS DriverStatus;
  BYTE bBuffer[1];
};

struct SRB_IO_CONTROL {
  ULONG HeaderLength;
  UCHAR Signature[8];
  ULONG Timeout;
  ULONG ControlCode;
  ULONG ReturnCode;
  ULONG Length;
};
#pragma pack(pop)

// Only IOCTL_STORAGE_QUERY_PROPERTY (standard query of StorageDeviceProperty) is answered; other
// codes fail with ERROR_INVALID_FUNCTION, and so does a handle that is not a disk. A buffer that
// holds at least a STORAGE_DESCRIPTOR_HEADER gets as much of the answer as fits (texts that do not
// fit whole get offset 0); a smaller one fails with ERROR_INSUFFICIENT_BUFFER. Synchronous;
// `overlapped` is ignored.
WIN32_API BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer,
                               DWORD inBufferSize, LPVOID outBuffer, DWORD outBufferSize,
                               LPDWORD bytesReturned, LPOVERLAPPED overlapped);

}  // namespace win32
