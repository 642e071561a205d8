// Loads a module built like the logic library into a program built like the GUI program. Both
// register uimsg.proto; each must do so in its own protobuf runtime, or the load aborts with a
// duplicate-file error. The module is closed and opened again, which must not register its
// schemas a second time.

#include <dlfcn.h>

#include <cstddef>
#include <cstdio>
#include <string>

#include <google/protobuf/descriptor.h>

#include "uimsg.pb.h"

namespace {

using EchoBindInfoFn = int (*)(const void*, size_t, void*, size_t, size_t*, const void**);

constexpr int kRounds = 3;

bool Fail(int round, const char* what) {
  std::fprintf(stderr, "round %d: %s\n", round, what);
  return false;
}

bool RunRound(const char* modulePath, int round) {
  void* module = dlopen(modulePath, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    std::fprintf(stderr, "round %d: dlopen: %s\n", round, dlerror());
    return false;
  }
  auto echo = reinterpret_cast<EchoBindInfoFn>(dlsym(module, "EchoBindInfo"));
  if (echo == nullptr) return Fail(round, "EchoBindInfo is not exported");

  protocol::UIBindInfo sent;
  sent.set_id_pc(1000 + round);
  sent.set_bind_key("ABCDEFGHJKLMNPQR");
  sent.set_local_port(5000);
  const std::string bytes = sent.SerializeAsString();

  char out[256];
  size_t outLen = 0;
  const void* modulePool = nullptr;
  const int rc = echo(bytes.data(), bytes.size(), out, sizeof(out), &outLen, &modulePool);
  if (rc != 0) {
    std::fprintf(stderr, "round %d: module answered %d\n", round, rc);
    return false;
  }
  if (modulePool == google::protobuf::DescriptorPool::generated_pool()) {
    return Fail(round, "module and program share one descriptor pool");
  }

  protocol::UIBindInfo received;
  if (!received.ParseFromArray(out, static_cast<int>(outLen))) {
    return Fail(round, "module's record does not parse");
  }
  if (received.id_pc() != sent.id_pc() + 1 || received.bind_key() != "RQPNMLKJHGFEDCBA" ||
      received.local_ip() != "127.0.0.1" || received.local_port() != 5001) {
    return Fail(round, "module's record carries wrong values");
  }

  // A record cut inside its key must be refused on the module's side as well.
  if (echo(bytes.data(), bytes.size() - 1, out, sizeof(out), &outLen, &modulePool) != 1) {
    return Fail(round, "module accepted a truncated record");
  }

  if (dlclose(module) != 0) return Fail(round, "dlclose failed");
  // Linked with -z nodelete: the image and its registrations stay after the close.
  void* still = dlopen(modulePath, RTLD_NOW | RTLD_NOLOAD);
  if (still == nullptr) return Fail(round, "module was unmapped by dlclose");
  dlclose(still);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <module.so>\n", argv[0]);
    return 2;
  }
  // The program's own runtime holds only uimsg.proto.
  const google::protobuf::DescriptorPool* pool = google::protobuf::DescriptorPool::generated_pool();
  if (pool->FindFileByName("uimsg.proto") == nullptr ||
      pool->FindFileByName("msg.proto") != nullptr) {
    std::fprintf(stderr, "program's descriptor pool holds the wrong schemas\n");
    return 1;
  }
  for (int round = 0; round < kRounds; ++round) {
    if (!RunRound(argv[1], round)) return 1;
  }
  std::printf("%d load rounds passed\n", kRounds);
  return 0;
}
