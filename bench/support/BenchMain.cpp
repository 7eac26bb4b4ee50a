// The one entry point of every benchmark program.
#include "support/TestEnvironment.h"

#include <QCoreApplication>

#include <benchmark/benchmark.h>

int main(int argc, char** argv) {
    TestEnvironment::install();  // logs and data go to a throwaway folder
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("Vantrose");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
