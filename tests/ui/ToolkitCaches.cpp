// The toolkit keeps font and glyph caches for the process's life; letting them go when the tests
// end leaves the leak checker only with what our code kept.

#include <gtest/gtest.h>

#include "CLqPainter.h"

namespace {

class CToolkitCaches final : public ::testing::Environment {
 public:
  void TearDown() override { lq::CLqPainter::ReleaseCachesAtExit(); }
};

[[maybe_unused]] ::testing::Environment* const g_pToolkitCaches =
    ::testing::AddGlobalTestEnvironment(new CToolkitCaches);

}  // namespace
