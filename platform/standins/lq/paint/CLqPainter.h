#pragma once
// Draws an element tree with cairo and Pango, and finds the element under a point. The toolkit
// view draws its windows with it; the test port saves windows as PNG files with it, off screen,
// so a picture is right whatever covers the window on a desktop. Texts are laid out as plain
// text, never as markup.
// Threading: UI thread only (it reads the model); the picture cache lives on that thread.

#include <cairo.h>

#include <string>

#include "CElement.h"

namespace lq {

class CLqPainter {
 public:
  // Paints `pRoot` and its shown subtree with the root's top-left corner at cairo's origin;
  // `pLeftOut` and its subtree are painted as if hidden.
  static void Paint(cairo_t* cr, CElement* pRoot, const CElement* pLeftOut = nullptr);
  // A new image surface the size of `pRoot` with the tree painted on it (the caller destroys it);
  // null when the element is destroyed or has no area.
  static cairo_surface_t* Render(CElement* pRoot, const CElement* pLeftOut = nullptr);
  // Render, written as a PNG file at a POSIX path.
  static bool WritePng(CElement* pRoot, const std::string& posixPath,
                       const CElement* pLeftOut = nullptr);
  // The deepest shown element at (x, y) of `pRoot`'s coordinates that takes clicks or typing, or
  // null.
  static CElement* HitTest(CElement* pRoot, int x, int y);
  // Forgets the decoded pictures (after the resource folder changed).
  static void ForgetPictures();
  // Lets go of the pictures and of the default font map. The toolkit's own font and glyph caches
  // stay for the process's life (a reset while any of its objects lives aborts in the toolkit).
  // Nothing may be painted afterwards.
  static void ReleaseCachesAtExit();
};

}  // namespace lq
