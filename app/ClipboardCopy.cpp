#include "app/ClipboardCopy.h"

#include "app/ExportWriter.h"
#include "platform/BackgroundPool.h"
#include "platform/MainThread.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QPointer>

namespace ClipboardCopy {

void copy(QObject* context, std::function<QImage()> compose, std::function<void(const QString& error)> done)
{
    QPointer<QObject> guard(context);
    BackgroundPool::run([guard, compose = std::move(compose), done = std::move(done)] {
        const QImage image = compose();
        QString error = QObject::tr("The picture could not be composed.");
        const QByteArray png =
            image.isNull() ? QByteArray() : ExportWriter::encode(image, ExportWriter::Format::Png, {}, &error);
        MainThread::async([guard, image, png, error, done] {
            if (!guard)
                return;
            if (png.isEmpty()) {
                done(error);
                return;
            }
            auto* data = new QMimeData;
            data->setData(QStringLiteral("image/png"), png);
            data->setImageData(image);
            QGuiApplication::clipboard()->setMimeData(data);
            done(QString());
        });
    });
}

} // namespace ClipboardCopy
