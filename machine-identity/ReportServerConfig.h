#pragma once
// Where a report session asks the report library to send: the report server's host name, given
// twice, and port 443. The library decides the real destination (our stand-in keeps a local
// spool and forwards only to a configured server).

#include <string>

struct CReportServerConfig {
  static constexpr unsigned kPort = 443;

  // The build's default report server name.
  CReportServerConfig();

  std::string host;
  unsigned port = kPort;
};
