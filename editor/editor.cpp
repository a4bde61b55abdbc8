#include "editor/editor.h"

bool EditAction(int, char**) { return true; }
void ShowAboutBox() {}
