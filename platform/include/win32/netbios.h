#pragma once
// NetBIOS, reduced to what identifies the machine: enumerate adapters, reset one, and read its
// status (the hardware address). There is no NetBIOS here; the answers come from the same
// adapter list as GetAdaptersInfo, lana number i being its i-th adapter.

#include "win32/base.h"

namespace win32 {

constexpr UINT NCBNAMSZ = 16;
constexpr UINT MAX_LANA = 254;

// Commands
constexpr UCHAR NCBRESET = 0x32;
constexpr UCHAR NCBASTAT = 0x33;
constexpr UCHAR NCBENUM = 0x37;
constexpr UCHAR ASYNCH = 0x80;

// Return codes (ncb_retcode and the result of Netbios)
constexpr UCHAR NRC_GOODRET = 0x00;
constexpr UCHAR NRC_BUFLEN = 0x01;
constexpr UCHAR NRC_ILLCMD = 0x03;
constexpr UCHAR NRC_CMDTMO = 0x05;
constexpr UCHAR NRC_BRIDGE = 0x23;

struct NCB {
  UCHAR ncb_command;
  UCHAR ncb_retcode;
  UCHAR ncb_lsn;
  UCHAR ncb_num;
  UCHAR* ncb_buffer;
  WORD ncb_length;
  UCHAR ncb_callname[NCBNAMSZ];
  UCHAR ncb_name[NCBNAMSZ];
  UCHAR ncb_rto;
  UCHAR ncb_sto;
  void (*ncb_post)(NCB*);
  UCHAR ncb_lana_num;
  UCHAR ncb_cmd_cplt;
  UCHAR ncb_reserve[18];
  HANDLE ncb_event;
};
using PNCB = NCB*;

struct LANA_ENUM {
  UCHAR length;
  UCHAR lana[MAX_LANA + 1];
};

struct ADAPTER_STATUS {
  UCHAR adapter_address[6];
  UCHAR rev_major;
  UCHAR reserved0;
  UCHAR adapter_type;
  UCHAR rev_minor;
  WORD duration;
  WORD frmr_recv;
  WORD frmr_xmit;
  WORD iframe_recv_err;
  WORD xmit_aborts;
  DWORD xmit_success;
  DWORD recv_success;
  WORD iframe_xmit_err;
  WORD recv_buff_unavail;
  WORD t1_timeouts;
  WORD ti_timeouts;
  DWORD reserved1;
  WORD free_ncbs;
  WORD max_cfg_ncbs;
  WORD max_ncbs;
  WORD xmit_buf_unavail;
  WORD max_dgram_size;
  WORD pending_sess;
  WORD max_cfg_sess;
  WORD max_sess;
  WORD max_sess_pkt_size;
  WORD name_count;
};

struct NAME_BUFFER {
  UCHAR name[NCBNAMSZ];
  UCHAR name_num;
  UCHAR name_flags;
};

// Synchronous only (ASYNCH or a post routine gives NRC_ILLCMD). NCBENUM lists lana 0..n-1;
// NCBRESET succeeds for a listed lana; NCBASTAT with call name "*" gives the adapter's status
// with its address and no names (a remote name gives NRC_CMDTMO, as an unanswered query would).
// An unlisted lana gives NRC_BRIDGE; a buffer too small for the answer gives NRC_BUFLEN.
// Returns ncb_retcode.
WIN32_API UCHAR Netbios(PNCB pNcb);

}  // namespace win32
