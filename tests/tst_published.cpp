// The published area's reading side: the cursor through the ring, and what mapArea says it mapped.
#include "published.h"

#include <QtTest>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

class TestPublished : public QObject {
    Q_OBJECT

private slots:
    // Writes stamped 1, 2, … published before and after a cursor is placed (since -1: the present),
    // with a fault at the first written after it (or, "newest", at the last before it): what it yields
    // ("|" where it had to wait), lost, whether the ring had lost the span's start, and the write before.
    void cursor_data()
    {
        QTest::addColumn<int>("before");
        QTest::addColumn<qint64>("since");
        QTest::addColumn<int>("after");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("seen");
        const int ring = int(published::kRing);
        QTest::newRow("the present") << 3 << -1LL << 2 << "" << "4 5 before 3";
        QTest::newRow("since a time") << 5 << 3LL << 0 << "" << "3 4 5 before 2";
        QTest::newRow("all: nothing before") << 2 << 0LL << 0 << "" << "1 2";
        QTest::newRow("the ring lost the start") << ring + 10 << 0LL << 0 << "" << "11..32778 (32768) late";
        QTest::newRow("overrun") << 1 << -1LL << ring + 100 << "" << "102..32869 (32768) lost 100 before 1";
        QTest::newRow("an entry being written") << 1 << -1LL << 2 << "writing" << "| 2 3 before 1";
        QTest::newRow("the newest being written") << 3 << -1LL << 0 << "newest" << "before 2";
        QTest::newRow("overwritten while read") << 1 << -1LL << 2 << "overwritten" << "3 lost 1 before 1";
        QTest::newRow("an area made anew") << 3 << -1LL << 0 << "anew" << "4 5 before 3";
    }
    void cursor()
    {
        QFETCH(int, before);
        QFETCH(qint64, since);
        QFETCH(int, after);
        QFETCH(QString, fault);
        auto area = std::make_unique<published::Area>();
        std::uint64_t time = 0;
        const auto publish = [&](int count) {
            for (int i = 0; i < count; ++i, ++time)
                published::publish(*area, time + 1, 888, short(time & 3));
        };
        publish(before);
        std::atomic<std::uint64_t> &newest = area->ring[(before - 1) % published::kRing].seq;
        if (fault == "newest")
            newest = 0;
        published::Cursor cursor(*area, since < 0 ? published::Cursor::kPresent : std::uint64_t(since));
        publish(after);
        std::atomic<std::uint64_t> &first = area->ring[before % published::kRing].seq;
        first = fault == "writing" ? 0 : fault == "overwritten" ? first + published::kRing : first.load();
        if (fault == "anew") {
            area->writes = 0;
            area->ring[0].seq = area->ring[1].seq = area->ring[2].seq = 0;
            publish(2);
        }
        QStringList seen;
        published::Write write;
        const auto drain = [&] {
            for (; cursor.next(write); seen << QString::number(write.time))
                QVERIFY(write.address == 888 && write.value == short((write.time - 1) & 3));  // read whole
        };
        drain();
        if (fault == "writing")
            seen << "|", first = before + 1, drain();
        if (seen.size() > 5)
            seen = QStringList{QStringLiteral("%1..%2 (%3)").arg(seen.first(), seen.last()).arg(seen.size())};
        if (cursor.overrun())
            seen << "lost" << QString::number(cursor.overrun());
        if (cursor.lateStart())
            seen << "late";
        if (cursor.before(write))
            seen << "before" << QString::number(write.time);
        QTEST(seen.join(' '), "seen");
        QCOMPARE(published::last(*area, write) ? write.time : 0, fault == "newest" ? 2 : time);
    }

    // What mapArea mapped is the file its path named: the identity a viewer compares.
    void identity()
    {
        const std::string path = QCoreApplication::applicationDirPath().toStdString() + "/published.area";
        ::unlink(path.c_str());
        std::string error;
        const published::Mapped area = published::mapArea(path, error);
        struct stat status;
        QVERIFY2(area && ::stat(path.c_str(), &status) == 0, error.c_str());
        QVERIFY(area.identity() == (published::FileIdentity{status.st_dev, status.st_ino}));
        QCOMPARE(area->header.magic.load(), published::kMagic);
    }
};

QTEST_GUILESS_MAIN(TestPublished)
#include "tst_published.moc"
