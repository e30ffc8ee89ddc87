// The version record of a file: four numbers, the pre-release flag, language and code page,
// and nine texts. The build embeds the record in the program (VersionRecord.cpp.in describes
// its layout); ReadVersionInfo finds it in any file by its signature.
#pragma once

#include <QString>
#include <cstdint>

class TFileVersionInfo {
public:
    // Setting the file name reads the file at once; a read error reaches the caller and the
    // name stays set.
    void SetFilename(const QString& fileName);
    const QString& Filename() const { return FFilename; }

    // Errors: EFileError "File not found: <name>"; EReadError "Invalid version info record in
    // file <name>" (no record) or "Invalid language info in file <name>" (no translation).
    void ReadVersionInfo();

    QString LanguageInfo; // language and code page, eight upper-case hexadecimal digits
    QString CompanyName;
    QString FileDescription;
    QString FileVersion;
    QString InternalName;
    QString LegalCopyright;
    QString OriginalFilename;
    QString ProductName;
    QString ProductVersion;
    QString Comments;
    std::uint16_t MajorVersion = 0;
    std::uint16_t MinorVersion = 0;
    std::uint16_t Release = 0;
    std::uint16_t Build = 0;
    bool PreRelease = false;

private:
    QString FFilename;
};

// "Major.Minor.Release.Build", plus " beta" for a pre-release, of fileName (empty: the running
// program's own file). Read errors reach the caller.
QString GetVersionText(const QString& fileName = QString());
