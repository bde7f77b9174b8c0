// The service's answer, parsed whole and turned into instructions, whatever it holds.

#include "fuzzing.h"
#include "logger.h"
#include "qtsoap.h"
#include "usagewebservice.h"

FUZZ_INITIALIZE

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QtSoapMessage answer;
    answer.setContent(QByteArray(reinterpret_cast<const char *>(data), static_cast<int>(size)));
    Logger logger;
    QVector<PublishInstruction> instructions;
    UsageWebService(QStringLiteral("http://127.0.0.1/usagetracking/veri.asmx"), &logger)
        .parseLogsAvailableResponse(answer, instructions);
    return 0;
}
