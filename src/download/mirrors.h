#pragma once

#include "download/ftpsiteaccessdata.h"

#include <QObject>
#include <QRandomGenerator>
#include <QString>
#include <QVector>

class QSettings;

// The download mirrors of one update run. Hands out transfer slots by a
// uniform draw over all free slots, counts failures per mirror and retires
// mirrors that fail too often. Used on the main thread only.
class Mirrors : public QObject
{
    Q_OBJECT

public:
    // Results of getRandomMirror().
    enum DrawResult : int {
        MirrorTaken = 0,
        NoMirrorLeft = 1,
        AllSlotsBusy = 2,
    };

    // The draw is seeded from the current time in whole seconds; the engine
    // hands in the generator of its run with setRandomGenerator().
    explicit Mirrors(QObject* parent = nullptr);

    void setRandomGenerator(const QRandomGenerator& generator);

    // Fills the pool from a mirrors.ini file. Always returns true: a missing
    // or empty file leaves the pool empty, which the first draw reports.
    bool initDefault(const QString& iniFilePath, int version);
    // Fills the pool with the single alpha mirror named in update.ini
    // (group "Channel", key "alpha"). Emits fatalError and returns false
    // when that value is missing or empty.
    bool initAlpha(const QString& iniFilePath, int version);
    // Completes every record from its group of the open mirrors.ini.
    void setDefaults(QSettings& settings, int version);
    // Fills the pool with ready-made records, for callers (tests, tools)
    // that do not read them from a file.
    void initFromList(const QVector<FTPSiteAccessData>& mirrors);

    // Takes one transfer slot. MirrorTaken: the slot is held and 'mirror'
    // is a copy of the chosen record; NoMirrorLeft: the pool is empty;
    // AllSlotsBusy: try again after another transfer ended. On the last two
    // 'mirror' is left unchanged.
    int getRandomMirror(FTPSiteAccessData& mirror);
    // Gives back one slot of the named mirror.
    void releaseMirror(const QString& name);
    // Counts one failure; retires the mirror past its limit.
    void addMirrorError(const QString& name);
    // Retires the named mirror at once.
    void removeMirror(const QString& name);
    // Index of the first record with that name, or -1.
    int getMirrorIndex(const QString& name) const;
    // capacity = sum of all maxUseCount, use = sum of all useCount.
    void calcUseStats(int& capacity, int& use) const;

    // The records in pool order.
    const QVector<FTPSiteAccessData>& getMirrorList() const { return mirrorList; }

signals:
    void fatalError(QString errorMessage);
    void message(QString message);
    // A slot was given back or a mirror retired: a draw that found every
    // slot busy may now have another result. Downloads waiting for a slot
    // listen to it, since not every slot comes back with a finished reply.
    void slotsChanged();

private:
    QVector<FTPSiteAccessData> mirrorList;
    bool noMirrorsReported = false;
    QRandomGenerator random;
};
