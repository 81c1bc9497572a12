#pragma once

#include <QBasicTimer>
#include <QWidget>

// An indeterminate progress indicator in the spinning style: twelve spokes
// fading round the centre of the widget. It animates only while shown and
// lets mouse events through to the widget under it.
class ProgressSpinner : public QWidget {
    Q_OBJECT

public:
    explicit ProgressSpinner(QWidget* parent = nullptr);

    void startAnimation();
    void stopAnimation();
    bool isAnimating() const { return m_animating; }

    // The spoke drawn darkest, 0 to 11; advances once per frame.
    int phase() const { return m_phase; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void updateTimer();

    QBasicTimer m_timer;
    bool m_animating = false;
    int m_phase = 0;
};
