// Becomes the running instance for the directory in argv[1], says so, and holds on until killed.
#include "SingleInstance.h"

#include <QCoreApplication>

#include <iostream>

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    if (argc != 2)
        return 2;
    stampo::SingleInstance instance(QString::fromLocal8Bit(argv[1]), "Stampo.conf");
    std::cout << (instance.becomePrimary() ? "primary" : "second") << std::endl;
    return QCoreApplication::exec();
}
