// A stand-in for the logic library in the two-runtime load test: built like it (both schemas,
// shared protobuf runtime, hidden visibility, never unmapped) and exporting one entry point that
// reads a bind record made by the loading program and answers with one of its own.

#include <cstddef>
#include <cstring>
#include <string>

#include <google/protobuf/descriptor.h>

#include "msg.pb.h"
#include "uimsg.pb.h"

// Parses `in` as a UIBindInfo and writes back a record with id_pc + 1, the key reversed, and the
// local address set to 127.0.0.1 and port + 1. `pool` receives this image's generated descriptor
// pool, so the caller can tell that the two runtimes stayed apart.
// Returns 0 on success, 1 when `in` does not parse, 2 when msg.proto is not registered here,
// 3 when `out` is too small.
extern "C" __attribute__((visibility("default"))) int EchoBindInfo(const void* in, size_t inLen,
                                                                   void* out, size_t outCap,
                                                                   size_t* outLen,
                                                                   const void** pool) {
  const google::protobuf::DescriptorPool* generated =
      google::protobuf::DescriptorPool::generated_pool();
  *pool = generated;
  if (generated->FindFileByName("msg.proto") == nullptr) return 2;

  protocol::UIBindInfo request;
  if (!request.ParseFromArray(in, static_cast<int>(inLen))) return 1;

  protocol::UIBindInfo reply;
  reply.set_id_pc(request.id_pc() + 1);
  reply.set_bind_key(std::string(request.bind_key().rbegin(), request.bind_key().rend()));
  reply.set_local_ip("127.0.0.1");
  reply.set_local_port(request.local_port() + 1);
  const std::string bytes = reply.SerializeAsString();
  if (bytes.size() > outCap) return 3;
  std::memcpy(out, bytes.data(), bytes.size());
  *outLen = bytes.size();
  return 0;
}
