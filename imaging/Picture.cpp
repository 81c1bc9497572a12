#include "imaging/Picture.h"

Picture::Picture(QSizeF size, QList<QImage> representations)
    : m_data(std::make_shared<const Data>(Data{size, std::move(representations)}))
{
}

Picture Picture::fromImage(QImage image)
{
    const QSizeF size(image.width(), image.height());
    return Picture(size, {std::move(image)});
}

bool Picture::isValid() const
{
    if (!m_data)
        return false;
    for (const QImage& image : m_data->representations)
        if (!image.isNull())
            return true;
    return false;
}

QSizeF Picture::size() const
{
    return m_data ? m_data->size : QSizeF();
}

const QList<QImage>& Picture::representations() const
{
    static const QList<QImage> none;
    return m_data ? m_data->representations : none;
}

QImage Picture::bestRepresentation() const
{
    QImage best;
    for (const QImage& image : representations())
        if (!image.isNull() && qint64(image.width()) * image.height() >
                                   qint64(best.width()) * best.height())
            best = image;
    return best;
}
