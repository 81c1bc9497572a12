#pragma once

#include <QPointer>
#include <QStringList>
#include <QWidget>

class ProgressSpinner;

// An overlay that covers its parent widget while some work runs: it shows a
// spinner and swallows mouse clicks and drags aimed at anything under it.
// Keys still reach the focused control, and the wheel and other events pass
// to the parent. Independent tasks hold it by string keys (each key once);
// when the last key is released it leaves its parent and deletes itself.
class ZRBlocker : public QWidget {
    Q_OBJECT

public:
    explicit ZRBlocker(QWidget* parent = nullptr);

    // Adds the key unless it is already there.
    void block(const QString& key);
    // Removes the key; once no key is left (also after an unknown key on an
    // empty list), a blocker with a parent removes itself from it and is
    // deleted on the next turn of the event loop. A blocker without a parent
    // belongs to its creator and stays.
    void unblock(const QString& key);

    const QStringList& blockers() const { return _blockers; }
    ProgressSpinner* progressIndicator() const { return _prog; }

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    // Covers the new parent, and keeps covering it as it resizes.
    void viewDidMoveToSuperview();

    QStringList _blockers;
    ProgressSpinner* _prog = nullptr;
    QPointer<QWidget> m_coveredParent;
};
