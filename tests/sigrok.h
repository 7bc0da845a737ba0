// A value change dump decoded by sigrok-cli's stepper motor decoder, as a
// person at the bench would decode a capture.
#pragma once

#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

// A full turn: the decoder gives the position between two steps, 95 of them
// for 96 steps, counting down (`sense` -1) while the direction line is low.
inline void decodesFullTurn(const QString &path, int sense)
{
    if (QStandardPaths::findExecutable("sigrok-cli").isEmpty())
        QSKIP("sigrok-cli is not installed");
    QProcess sigrok;
    sigrok.start("sigrok-cli", {"-I", "vcd:downsample=1000", "-i", path, "-P",
                                "stepper_motor:step=D0_pulso:dir=D1_direccion", "-A", "stepper_motor=position"});
    QVERIFY(sigrok.waitForFinished(60000));
    const QStringList positions = QString(sigrok.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(positions.size(), 95);
    QCOMPARE(positions.last(), QString("stepper_motor-1: %1 steps").arg(95 * sense));
}
