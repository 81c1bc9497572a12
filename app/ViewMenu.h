#pragma once

class QMenu;
class QWidget;
class ZRImageCutView;

// The View menu: how the canvas shows the picture (cut-out, overlay, mask),
// the backdrop behind the cut-out and the overlay's colour. The choices are
// remembered between runs and restored when the menu is made.
namespace ViewMenu {

// Fills `menu` with the view commands for `canvas`; `parent` hosts the
// colour dialogs.
void fill(QMenu* menu, ZRImageCutView* canvas, QWidget* parent);

} // namespace ViewMenu
