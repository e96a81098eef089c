// Rewrites a job table over and over until it is killed, generations g and g + 1 in turn.
// Every value names its generation, so a reader can tell a whole table from a torn one.
#include "shared/JobTable.h"
#include "shared/mlb2.h"

#include <QString>
#include <cstdio>
#include <cstdlib>

using namespace norvex::shared;

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <file> <records> <first generation>\n", argv[0]);
        return 2;
    }
    const QString path = QString::fromLocal8Bit(argv[1]);
    const int records = std::atoi(argv[2]);
    const long first = std::atol(argv[3]);
    // Two generations built once, saved in turn, so nearly all the time goes into saving.
    TMlb2 tables[2];
    for (int k = 0; k < 2; ++k) {
        TMlb2 &t = tables[k];
        t.SetSeparator(QLatin1Char(','));
        for (const QString &name : jobFieldNames())
            t.AddField(name);
        for (int r = 0; r < records; ++r) {
            t.AppendRecord();
            for (int f = 1; f <= t.FieldCount(); ++f)
                t.SetFieldByIndex(f,
                                  QStringLiteral("g%1 r%2 \"q\",\r\n日本").arg(first + k).arg(r));
        }
        t.AppendRecord();
        t.SetFieldByIndex(1, QStringLiteral("END g%1").arg(first + k));
    }
    // The test times its kills from these lines.
    std::puts("ready");
    std::fflush(stdout);
    for (long n = 0;; ++n) {
        if (!tables[n % 2].SaveToFile(path))
            return 1;
        std::puts("saved");
        std::fflush(stdout);
    }
}
