#include <QApplication>
#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    std::puts("Norvex: the configuration program is not built yet.");
    return 0;
}
