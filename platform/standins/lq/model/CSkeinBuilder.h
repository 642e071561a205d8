#pragma once
// Makes elements from a frame of a parsed layout file.
// Threading: UI thread only.

#include "CElement.h"
#include "CSkein.h"

namespace lq {

class CSkeinBuilder {
 public:
  // The frame's tree, detached, one reference for the caller. A window root also gets its native
  // window; if that fails nothing is left and the answer is null. Null without memory.
  static CElement* Build(const SkeinFrame& frame);

 private:
  static CElement* BuildNode(const SkeinNode& node);
};

}  // namespace lq
