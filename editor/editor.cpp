#include "editor/editor.h"
#include "editor/look.h"

bool EditAction(int, char**) { return true; }
void ShowAboutBox() {}
void PaintHelpPanel(const DRAWITEMSTRUCT*, int) {}
