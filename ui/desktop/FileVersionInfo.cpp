#include "FileVersionInfo.h"

#include "DesktopErrors.h"
#include "VersionRecord.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

namespace {

using VersionRecord::SignatureSize;

// Bounds-checked little-endian reading of one record; any overrun makes the record invalid.
class TRecordReader {
public:
    TRecordReader(const unsigned char* data, std::size_t size) : Data(data), Size(size) {}

    bool Ok() const { return Good; }
    std::uint32_t U16() { return Take(2); }
    std::uint32_t U32() { return Take(4); }
    std::string_view Text() {
        const std::size_t length = Take(2);
        if (!Need(length))
            return {};
        std::string_view text(reinterpret_cast<const char*>(Data + Pos), length);
        Pos += length;
        return text.substr(0, text.find('\0'));
    }
    void Skip(std::size_t n) {
        if (Need(n))
            Pos += n;
    }

private:
    bool Need(std::size_t n) {
        if (!Good || Size - Pos < n)
            Good = false;
        return Good;
    }
    std::uint32_t Take(std::size_t n) {
        if (!Need(n))
            return 0;
        std::uint32_t v = 0;
        for (std::size_t i = 0; i < n; ++i)
            v |= static_cast<std::uint32_t>(Data[Pos + i]) << (8 * i);
        Pos += n;
        return v;
    }

    const unsigned char* Data;
    std::size_t Size;
    std::size_t Pos = 0;
    bool Good = true;
};

struct TParsedRecord {
    std::uint32_t FileVersionMS = 0;
    std::uint32_t FileVersionLS = 0;
    std::uint32_t FileFlags = 0;
    std::vector<std::pair<std::uint16_t, std::uint16_t>> Translations;
    // key -> (name -> value), in record order
    std::vector<
        std::pair<std::string_view, std::vector<std::pair<std::string_view, std::string_view>>>>
        Tables;
};

std::optional<TParsedRecord> Parse(const unsigned char* record, std::size_t available) {
    TRecordReader reader(record, available);
    reader.Skip(SignatureSize);
    const std::size_t length = reader.U32();
    if (!reader.Ok() || length < 2 * SignatureSize + 26 || length > available)
        return std::nullopt;
    const auto end = VersionRecord::VersionRecordEnd();
    if (!std::equal(end.begin(), end.end(), record + length - SignatureSize))
        return std::nullopt;
    TRecordReader body(record, length - SignatureSize);
    body.Skip(SignatureSize + 4);
    if (body.U16() != 1)
        return std::nullopt;
    body.U16();
    TParsedRecord parsed;
    parsed.FileVersionMS = body.U32();
    parsed.FileVersionLS = body.U32();
    body.U32(); // the flag mask is not consulted
    parsed.FileFlags = body.U32();
    const std::uint32_t translations = body.U16();
    for (std::uint32_t i = 0; i < translations && body.Ok(); ++i) {
        const auto language = static_cast<std::uint16_t>(body.U16());
        const auto codePage = static_cast<std::uint16_t>(body.U16());
        parsed.Translations.emplace_back(language, codePage);
    }
    const std::uint32_t tables = body.U16();
    for (std::uint32_t t = 0; t < tables && body.Ok(); ++t) {
        auto& table = parsed.Tables.emplace_back(
            body.Text(), decltype(parsed.Tables)::value_type::second_type{});
        const std::uint32_t count = body.U16();
        for (std::uint32_t i = 0; i < count && body.Ok(); ++i) {
            const std::string_view name = body.Text();
            const std::string_view value = body.Text();
            table.second.emplace_back(name, value);
        }
    }
    if (!body.Ok())
        return std::nullopt;
    return parsed;
}

// The first valid record in the file's bytes.
std::optional<TParsedRecord> FindRecord(const unsigned char* data, std::size_t size) {
    const auto start = VersionRecord::VersionRecordStart();
    const std::boyer_moore_horspool_searcher searcher(start.begin(), start.end());
    const unsigned char* from = data;
    const unsigned char* const last = data + size;
    for (;;) {
        const unsigned char* hit = std::search(from, last, searcher);
        if (hit == last)
            return std::nullopt;
        if (auto parsed = Parse(hit, static_cast<std::size_t>(last - hit)))
            return parsed;
        from = hit + 1;
    }
}

bool SameKey(std::string_view a, const QString& b) {
    return QString::fromUtf8(a.data(), static_cast<qsizetype>(a.size()))
               .compare(b, Qt::CaseInsensitive) == 0;
}

} // namespace

void TFileVersionInfo::SetFilename(const QString& fileName) {
    FFilename = fileName;
    ReadVersionInfo();
}

void TFileVersionInfo::ReadVersionInfo() {
    for (QString* text :
         {&CompanyName, &FileDescription, &FileVersion, &InternalName, &LegalCopyright,
          &OriginalFilename, &ProductName, &ProductVersion, &Comments})
        text->clear();
    PreRelease = false;

    if (FFilename.isEmpty() || !QFileInfo(FFilename).isFile())
        throw EFilerError("File not found: " + FFilename.toStdString());
    QFile file(FFilename);
    if (!file.open(QIODevice::ReadOnly))
        throw EFilerError("Cannot open file " + FFilename.toStdString() + ". " +
                          file.errorString().toStdString());
    // The record's texts point into these bytes, which stay valid while the file is open.
    QByteArray copy;
    const auto size = static_cast<std::size_t>(file.size());
    const unsigned char* bytes = size > 0 ? file.map(0, file.size()) : nullptr;
    if (!bytes && size > 0) {
        copy = file.readAll();
        bytes = reinterpret_cast<const unsigned char*>(copy.constData());
    }
    const std::optional<TParsedRecord> record =
        bytes ? FindRecord(bytes, static_cast<std::size_t>(size)) : std::nullopt;
    if (!record)
        throw EReadError("Invalid version info record in file " + FFilename.toStdString());

    MajorVersion = static_cast<std::uint16_t>(record->FileVersionMS >> 16);
    MinorVersion = static_cast<std::uint16_t>(record->FileVersionMS & 0xFFFF);
    Release = static_cast<std::uint16_t>(record->FileVersionLS >> 16);
    Build = static_cast<std::uint16_t>(record->FileVersionLS & 0xFFFF);
    PreRelease = (record->FileFlags & VersionRecord::PreReleaseFlag) != 0;

    if (record->Translations.empty())
        throw EReadError("Invalid language info in file " + FFilename.toStdString());
    const auto [language, codePage] = record->Translations.front();
    LanguageInfo = QStringLiteral("%1%2")
                       .arg(language, 4, 16, QLatin1Char('0'))
                       .arg(codePage, 4, 16, QLatin1Char('0'))
                       .toUpper();

    const auto value = [&](std::string_view name) -> QString {
        for (const auto& [key, texts] : record->Tables) {
            if (!SameKey(key, LanguageInfo))
                continue;
            for (const auto& [textName, text] : texts) {
                if (textName == name)
                    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
            }
        }
        return QStringLiteral("n/a");
    };
    CompanyName = value("CompanyName");
    FileDescription = value("FileDescription");
    FileVersion = value("FileVersion");
    InternalName = value("InternalName");
    LegalCopyright = value("LegalCopyright");
    OriginalFilename = value("OriginalFilename");
    ProductName = value("ProductName");
    ProductVersion = value("ProductVersion");
    Comments = value("Comments");
}

QString GetVersionText(const QString& fileName) {
    TFileVersionInfo info;
    info.SetFilename(fileName.isEmpty() ? QCoreApplication::applicationFilePath() : fileName);
    QString text = QStringLiteral("%1.%2.%3.%4")
                       .arg(info.MajorVersion)
                       .arg(info.MinorVersion)
                       .arg(info.Release)
                       .arg(info.Build);
    if (info.PreRelease)
        text += QStringLiteral(" beta");
    return text;
}
