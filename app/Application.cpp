#include "app/Application.h"

#include "ui/ScrollerStyle.h"

#include <QApplication>
#include <QPalette>
#include <QStyleFactory>

namespace Application {

void applyStyle(QApplication& app)
{
    app.setStyle(new ScrollerStyle(QStyleFactory::create(QStringLiteral("Fusion"))));
    QPalette palette;
    const QColor window(33, 37, 44);
    const QColor base(24, 27, 33);
    const QColor text(226, 231, 238);
    const QColor accent(53, 125, 210);
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Base, base);
    palette.setColor(QPalette::AlternateBase, window);
    palette.setColor(QPalette::ToolTipBase, QColor(45, 50, 60));
    palette.setColor(QPalette::ToolTipText, text);
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::Button, QColor(44, 49, 58));
    palette.setColor(QPalette::ButtonText, text);
    palette.setColor(QPalette::BrightText, Qt::white);
    palette.setColor(QPalette::Highlight, accent);
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::Link, QColor(127, 178, 238));
    palette.setColor(QPalette::PlaceholderText, QColor(120, 128, 140));
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        palette.setColor(QPalette::Disabled, role, QColor(110, 117, 128));
    app.setPalette(palette);
}

} // namespace Application
