#include "banner_description.hpp"

#include <QtCore/QFile>
#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>

#include <stdexcept>

namespace kelvara::standin {
namespace {

QByteArray read_all(const std::filesystem::path& path) {
    QFile file(QString::fromStdString(path.string()));
    if (!file.open(QIODevice::ReadOnly)) {
        throw std::runtime_error("cannot read " + path.string());
    }
    return file.readAll();
}

} // namespace

void load_banner_description(const std::filesystem::path& path, BannerCatalog& catalog) {
    const auto file = std::filesystem::is_directory(path) ? path / "banners.json" : path;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(read_all(file), &error);
    if (!document.isObject()) {
        throw std::runtime_error("bad banner description " + file.string() + ": " + error.errorString().toStdString());
    }
    const QJsonObject banners = document.object().value("banners").toObject();
    for (auto it = banners.begin(); it != banners.end(); ++it) {
        const QJsonObject description = it.value().toObject();
        StandInBanner banner;
        banner.status = description.value("status").toString("available").toStdString();
        for (const auto& entry : description.value("revisions").toArray()) {
            const QJsonObject revision = entry.toObject();
            StandInRevision r;
            r.number = static_cast<std::uint64_t>(revision.value("renderRevision").toInteger());
            r.painting_sequence = static_cast<std::uint64_t>(revision.value("latestPaintingSequence").toInteger());
            r.paid_artwork = revision.value("paidArtwork").toBool();
            r.filter_change = revision.value("filterChange").toBool();
            r.moderation = revision.value("moderation").toBool();
            const QByteArray png = read_all(file.parent_path() / revision.value("png").toString().toStdString());
            r.png.assign(png.begin(), png.end());
            banner.revisions.push_back(std::move(r));
        }
        catalog.set_banner(it.key().toStdString(), std::move(banner));
    }
}

} // namespace kelvara::standin
