#include "canvas/SessionRecord.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <cstdio>

namespace {

constexpr int formatVersion = 1;
// A record is a few hundred bytes; anything much larger is not ours.
constexpr qint64 largestRecord = 64 * 1024;

// A kept copy is named by us, "picture-N.png"; a record naming anything else
// (a path, "..") must not make us read or move files outside the folder.
bool plainFileName(const QString& name)
{
    return !name.isEmpty() && name.size() < 64 && !name.contains(QLatin1Char('/')) &&
           !name.contains(QLatin1Char('\\')) && !name.startsWith(QLatin1Char('.'));
}

} // namespace

QByteArray SessionRecord::Contents::toJson() const
{
    const QJsonObject json{
        {QStringLiteral("version"), formatVersion},
        {QStringLiteral("written"), double(written)},
        {QStringLiteral("saved"), saved},
        {QStringLiteral("picture"),
         QJsonObject{{QStringLiteral("path"), picture.path},
                     {QStringLiteral("copy"), picture.copy},
                     {QStringLiteral("bytes"), double(picture.bytes)},
                     {QStringLiteral("modified"), double(picture.modified)},
                     {QStringLiteral("width"), picture.size.width()},
                     {QStringLiteral("height"), picture.size.height()}}},
        {QStringLiteral("history"), QJsonObject{{QStringLiteral("length"), double(length)},
                                                {QStringLiteral("current"), double(current)},
                                                {QStringLiteral("fileIndex"), double(fileIndex)}}},
        {QStringLiteral("brush"), QJsonObject{{QStringLiteral("diameter"), brush.diameter},
                                              {QStringLiteral("hardness"), brush.hardness},
                                              {QStringLiteral("alpha"), brush.alpha}}},
        {QStringLiteral("view"), QJsonObject{{QStringLiteral("fit"), view.fit},
                                             {QStringLiteral("scale"), view.scale},
                                             {QStringLiteral("tx"), view.tx},
                                             {QStringLiteral("ty"), view.ty}}}};
    return QJsonDocument(json).toJson(QJsonDocument::Compact);
}

std::optional<SessionRecord::Contents> SessionRecord::Contents::fromJson(const QByteArray& bytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject json = document.object();
    if (json.value(QStringLiteral("version")).toInt() != formatVersion)
        return std::nullopt;
    const QJsonObject picture = json.value(QStringLiteral("picture")).toObject();
    const QJsonObject history = json.value(QStringLiteral("history")).toObject();
    const QJsonObject brush = json.value(QStringLiteral("brush")).toObject();
    const QJsonObject view = json.value(QStringLiteral("view")).toObject();
    auto integer = [](const QJsonObject& o, const char* key) {
        return qint64(o.value(QLatin1String(key)).toDouble(-2));
    };

    Contents c;
    c.written = integer(json, "written");
    c.saved = json.value(QStringLiteral("saved")).toBool();
    c.picture.path = picture.value(QStringLiteral("path")).toString();
    c.picture.copy = picture.value(QStringLiteral("copy")).toString();
    c.picture.bytes = integer(picture, "bytes");
    c.picture.modified = integer(picture, "modified");
    c.picture.size = QSizeF(picture.value(QStringLiteral("width")).toDouble(),
                            picture.value(QStringLiteral("height")).toDouble());
    c.length = integer(history, "length");
    c.current = integer(history, "current");
    c.fileIndex = integer(history, "fileIndex");
    c.brush = {brush.value(QStringLiteral("diameter")).toDouble(20),
               brush.value(QStringLiteral("hardness")).toDouble(1),
               brush.value(QStringLiteral("alpha")).toDouble(0)};
    c.view = {view.value(QStringLiteral("fit")).toBool(true),
              view.value(QStringLiteral("scale")).toDouble(1),
              view.value(QStringLiteral("tx")).toDouble(0),
              view.value(QStringLiteral("ty")).toDouble(0)};

    const bool historyOk = c.length >= 0 && c.length <= 30 && c.current >= -1 &&
                           c.current < c.length && c.fileIndex >= -1 && c.fileIndex <= 30;
    const bool pictureOk = c.picture.size.width() >= 1 && c.picture.size.height() >= 1 &&
                           c.picture.size.width() < 1e6 && c.picture.size.height() < 1e6 &&
                           (c.picture.copy.isEmpty() || plainFileName(c.picture.copy)) &&
                           (c.picture.path.isEmpty() || QFileInfo(c.picture.path).isAbsolute());
    if (!historyOk || !pictureOk)
        return std::nullopt;
    // The brush and the view only set controls: out of range, they fall back.
    if (!(c.brush.diameter >= 10 && c.brush.diameter <= 200))
        c.brush.diameter = 20;
    if (!(c.brush.hardness >= 0 && c.brush.hardness <= 1))
        c.brush.hardness = 1;
    if (!(c.brush.alpha >= 0 && c.brush.alpha <= 1))
        c.brush.alpha = 0;
    if (!(c.view.scale > 0 && c.view.scale <= 10) || !std::isfinite(c.view.tx) ||
        !std::isfinite(c.view.ty))
        c.view = View{};
    return c;
}

SessionRecord::SessionRecord(QString folder) : m_folder(std::move(folder)) {}

void SessionRecord::noteBrushAndView(const Brush& brush, const View& view)
{
    std::lock_guard lock(m_noteMutex);
    m_brush = brush;
    m_view = view;
}

void SessionRecord::setPicture(const Picture& picture)
{
    m_picture = picture;
    m_hasPicture = true;
    if (!picture.path.isEmpty()) {
        const QFileInfo file(picture.path);
        m_picture.bytes = file.size();
        m_picture.modified = file.lastModified().toMSecsSinceEpoch();
    }
}

void SessionRecord::setCopy(const QString& fileName)
{
    m_picture.copy = fileName;
}

void SessionRecord::forget()
{
    m_picture = Picture();
    m_hasPicture = false;
}

bool SessionRecord::write(qint64 length, qint64 current, qint64 fileIndex, bool saved)
{
    if (!m_hasPicture)
        return false;
    Contents c;
    c.picture = m_picture;
    c.length = length;
    c.current = current;
    c.fileIndex = fileIndex;
    {
        std::lock_guard lock(m_noteMutex);
        c.brush = m_brush;
        c.view = m_view;
    }
    c.saved = saved;
    c.written = QDateTime::currentMSecsSinceEpoch();
    return writeWhole(path(), c.toJson());
}

void SessionRecord::remove()
{
    QFile::remove(path());
    if (!m_picture.copy.isEmpty())
        QFile::remove(m_folder + m_picture.copy);
    forget();
}

std::optional<SessionRecord::Contents> SessionRecord::read(const QString& folder)
{
    QFile file(folder + QLatin1String(fileName));
    if (!file.open(QIODevice::ReadOnly) || file.size() > largestRecord)
        return std::nullopt;
    return Contents::fromJson(file.readAll());
}

bool SessionRecord::holdsUnsavedCut(const QString& folder)
{
    const auto record = read(folder);
    return record && !record->saved;
}

bool SessionRecord::writeWhole(const QString& path, const QByteArray& bytes)
{
    const QString temporary = path + QStringLiteral(".part");
    QFile file(temporary);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const bool written = file.write(bytes) == bytes.size() && file.flush();
    file.close();
    if (!written || std::rename(QFile::encodeName(temporary).constData(),
                                QFile::encodeName(path).constData()) != 0) {
        QFile::remove(temporary);
        return false;
    }
    return true;
}
