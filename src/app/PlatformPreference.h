#pragma once

namespace stampo {

// Unless the user chose a platform (QT_QPA_PLATFORM), prefers X11, through Xwayland on a Wayland session, and falls
// back to Wayland where no X server runs. Qt would take Wayland whenever it can, and there a window can neither
// centre itself nor stay above other windows. Call before the application object is made.
void preferX11Platform();

} // namespace stampo
