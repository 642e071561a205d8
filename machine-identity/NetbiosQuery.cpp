#include "NetbiosQuery.h"

#include <cstring>

using namespace win32;

namespace NetbiosQuery {
namespace {

// NCBASTAT answers the status followed by the adapter's name table.
struct AdapterStatusAnswer {
  ADAPTER_STATUS status;
  NAME_BUFFER names[30];
};

}  // namespace

bool EnumLanas(LANA_ENUM* pLanas) {
  *pLanas = {};
  NCB ncb = {};
  ncb.ncb_command = NCBENUM;
  ncb.ncb_buffer = reinterpret_cast<UCHAR*>(pLanas);
  ncb.ncb_length = sizeof(*pLanas);
  return Netbios(&ncb) == NRC_GOODRET;
}

bool QueryLanaAddress(UCHAR lana, uint8_t address[6]) {
  NCB ncb = {};
  ncb.ncb_command = NCBRESET;
  ncb.ncb_lana_num = lana;
  Netbios(&ncb);

  AdapterStatusAnswer answer = {};
  ncb = {};
  ncb.ncb_command = NCBASTAT;
  ncb.ncb_lana_num = lana;
  memset(ncb.ncb_callname, ' ', NCBNAMSZ);
  ncb.ncb_callname[0] = '*';
  ncb.ncb_buffer = reinterpret_cast<UCHAR*>(&answer);
  ncb.ncb_length = sizeof(answer);
  if (Netbios(&ncb) != NRC_GOODRET) return false;
  memcpy(address, answer.status.adapter_address, 6);
  return true;
}

}  // namespace NetbiosQuery
