// The byte writer against QXmlStreamWriter: for every token of any input, both write the same
// bytes, up to the first name with a namespace prefix. There they part on purpose: the byte
// writer keeps the prefixes and declarations as they stand, where QXmlStreamWriter makes up
// its own (the usage logs use no namespaces). Where QXmlStreamWriter fails, they part too.

#include "fuzzing.h"
#include "xmloutput.h"

#include <QBuffer>
#include <QXmlStreamWriter>

FUZZ_INITIALIZE

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray document(reinterpret_cast<const char *>(data), static_cast<int>(size));
    QByteArray expected;
    QBuffer device(&expected);
    device.open(QIODevice::WriteOnly);
    QXmlStreamWriter qt(&device);
    XmlOutput ours;
    QXmlStreamReader reader(document);
    auto prefixed = [&] {
        for (const QXmlStreamAttribute &attribute : reader.attributes()) {
            if (!attribute.prefix().isEmpty())
                return true;
        }
        return !reader.prefix().isEmpty() || !reader.namespaceDeclarations().isEmpty();
    };
    while (!reader.atEnd()) {
        if (reader.readNext() == QXmlStreamReader::Invalid || prefixed())
            break;
        qt.writeCurrentToken(reader);
        ours.writeCurrentToken(reader);
    }
    // Text that XML cannot carry (an unpaired surrogate from a UTF-7 or UTF-16 document, say)
    // makes QXmlStreamWriter give up and write a broken rest; the byte writer drops the bad
    // code unit and goes on, which the merge and filter target checks.
    if (qt.hasError())
        return 0;
    if (ours.bytes() != expected)
        qFatal("the writers differ:\n%s\n%s", expected.constData(), ours.bytes().constData());
    return 0;
}
