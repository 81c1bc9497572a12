#pragma once

#include <QStringList>

class QApplication;

// Start-up pieces shared by the editor and its tests.
namespace Application {

// The look of the whole program: Fusion with our dark palette, and scroll bars
// drawn as a bare knob.
void applyStyle(QApplication& app);

} // namespace Application
