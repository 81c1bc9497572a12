#pragma once

#include <QImage>
#include <QList>
#include <QSizeF>

#include <memory>

// A drawable picture: a logical size in points and one or more bitmaps that
// show it. Pictures are immutable values that share their data; two copies of
// one picture are "the same object" (isSameObject), which is how the canvas
// tells whether a late result still belongs to the picture on screen. A
// default-constructed picture is "nothing".
class Picture {
public:
    Picture() = default;
    Picture(QSizeF size, QList<QImage> representations);

    // A picture of one bitmap whose size in points is its size in pixels.
    static Picture fromImage(QImage image);

    bool isNull() const { return !m_data; }
    explicit operator bool() const { return !isNull(); }

    // True when the picture has at least one bitmap that can be drawn.
    bool isValid() const;

    QSizeF size() const;
    const QList<QImage>& representations() const;

    // The bitmap to draw: the one with the most pixels (the first among equals).
    QImage bestRepresentation() const;

    bool isSameObject(const Picture& other) const { return m_data == other.m_data; }

private:
    struct Data {
        QSizeF size;
        QList<QImage> representations;
    };
    std::shared_ptr<const Data> m_data;
};
