#pragma once

#include "command.h"

// release --type TYPE --version N --key PRIVATE_FILE [--gzip PATTERN]...
//         [--previous OLD_RELEASE_DIR] RELEASE_DIR MIRROR_ROOT
//
// Publishes a client release (the directory tree as it is installed) as
// version N of build type TYPE: MIRROR_ROOT/N/files/ holds every file (those
// matching a --gzip pattern gzip-compressed, with ".gz" appended), and
// MIRROR_ROOT/N/TYPE.ini with TYPE.ini.sig is the signed product manifest.
// The files of OLD_RELEASE_DIR that the release no longer has are listed
// for deletion. A release that the manifest or the updater could not carry
// faithfully is refused before anything is written; the version directory
// appears only complete, by one rename at the end.
class ReleaseCommand : public Command
{
public:
    // The manifest section of all files: their directory on the mirror.
    static const QString FilesSection;
    // Suffix of the stored name of a compressed file.
    static const QString CompressedSuffix;

    QString name() const override;
    QString arguments() const override;
    QString summary() const override;
    int run(const QStringList& args) override;
};
