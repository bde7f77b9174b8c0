#include "qtsoap.h"

#include <QBuffer>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryFile>
#include <QTextCodec>
#include <QUrl>
#include <QXmlStreamReader>

namespace {

const QString envelopeNamespace = QStringLiteral("http://schemas.xmlsoap.org/soap/envelope/");
const QString encodingNamespace = QStringLiteral("http://schemas.xmlsoap.org/soap/encoding/");
const QString schemaNamespace = QStringLiteral("http://www.w3.org/1999/XMLSchema");
const QString schemaInstanceNamespace = QStringLiteral("http://www.w3.org/1999/XMLSchema-instance");

const QtSoapType &invalidValue()
{
    static const QtSoapType invalid;
    return invalid;
}

// As the DOM serialiser escapes text: "&" and "<" always, ">" where it would close "]]>".
QString escapeText(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('&'))
            out += QLatin1String("&amp;");
        else if (c == QLatin1Char('<'))
            out += QLatin1String("&lt;");
        else if (c == QLatin1Char('>') && out.endsWith(QLatin1String("]]")))
            out += QLatin1String("&gt;");
        else
            out += c;
    }
    return out;
}

QString escapeAttribute(const QString &text)
{
    return escapeText(text).replace(QLatin1Char('"'), QLatin1String("&quot;"));
}

} // namespace

QtSoapQName::QtSoapQName(const QString &name, const QString &uri)
    : m_name(name)
    , m_uri(uri)
{
}

QtSoapType::QtSoapType() = default;
QtSoapType::~QtSoapType() = default;

int QtSoapType::toInt() const
{
    bool ok = false;
    const int value = m_value.trimmed().toInt(&ok);
    return ok ? value : 0;
}

const QtSoapType &QtSoapType::operator[](int index) const
{
    if (index < 0 || index >= count())
        return invalidValue();
    return *(*m_children)[static_cast<size_t>(index)];
}

const QtSoapType &QtSoapType::operator[](const QString &name) const
{
    for (int i = 0; i < count(); ++i) {
        const auto &child = (*m_children)[static_cast<size_t>(i)];
        if (child->m_name.name() == name)
            return *child;
    }
    return invalidValue();
}

QtSoapSimpleType::QtSoapSimpleType(const QtSoapQName &name, int value)
{
    m_name = name;
    m_type = Int;
    m_value = QString::number(value);
}

QtSoapSimpleType::QtSoapSimpleType(const QtSoapQName &name, const QString &value)
{
    m_name = name;
    m_type = String;
    m_value = value;
}

QtSoapStruct::QtSoapStruct(const QtSoapQName &name)
{
    m_name = name;
    m_type = Struct;
}

void QtSoapStruct::insert(QtSoapType *item)
{
    if (!m_children)
        m_children = std::make_unique<std::vector<std::unique_ptr<QtSoapType>>>();
    m_children->emplace_back(item);
}

QtSoapMessage::QtSoapMessage() = default;
QtSoapMessage::~QtSoapMessage() = default;

void QtSoapMessage::clear()
{
    m_method = QtSoapStruct();
    m_faultString = QtSoapStruct();
    m_fault = false;
    m_received.reset();
}

void QtSoapMessage::setMethod(const QtSoapQName &name)
{
    m_method = QtSoapStruct(name);
}

void QtSoapMessage::addMethodArgument(QtSoapType *argument)
{
    m_method.insert(argument);
}

void QtSoapMessage::addMethodArgument(const QString &name, const QString &uri, int value)
{
    m_method.insert(new QtSoapSimpleType(QtSoapQName(name, uri), value));
}

void QtSoapMessage::addMethodArgument(const QString &name, const QString &uri, const QString &value)
{
    m_method.insert(new QtSoapSimpleType(QtSoapQName(name, uri), value));
}

void QtSoapWriter::write(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    m_ok = m_ok && m_device->write(bytes) == bytes.size();
}

void QtSoapWriter::startEnvelope()
{
    write(QLatin1String("<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"") + envelopeNamespace + QLatin1String("\" xmlns:xsd=\"")
          + schemaNamespace + QLatin1String("\" SOAP-ENV:encodingStyle=\"") + encodingNamespace
          + QLatin1String("\">\n<SOAP-ENV:Body>\n"));
}

void QtSoapWriter::endEnvelope()
{
    write(QStringLiteral("</SOAP-ENV:Body>\n</SOAP-ENV:Envelope>\n"));
}

// One element per line, as QtSoap's DOM output does with no indentation.
static QString openTag(const QString &name, const QString &defaultNamespace)
{
    if (defaultNamespace.isEmpty())
        return QLatin1Char('<') + name;
    return QLatin1Char('<') + name + QLatin1String(" xmlns=\"") + escapeAttribute(defaultNamespace) + QLatin1Char('"');
}

void QtSoapWriter::startStruct(const QString &name, const QString &defaultNamespace)
{
    write(openTag(name, defaultNamespace) + QLatin1String(">\n"));
}

void QtSoapWriter::endStruct(const QString &name)
{
    write(QLatin1String("</") + name + QLatin1String(">\n"));
}

void QtSoapWriter::emptyStruct(const QString &name, const QString &defaultNamespace)
{
    write(openTag(name, defaultNamespace) + QLatin1String("/>\n"));
}

void QtSoapWriter::typedValue(const QString &name, const char *type, const QString &text)
{
    write(QLatin1Char('<') + name + QLatin1String(" xmlns:xsi=\"") + schemaInstanceNamespace
          + QLatin1String("\" xsi:type=\"xsd:") + QLatin1String(type) + QLatin1String("\">") + escapeText(text)
          + QLatin1String("</") + name + QLatin1String(">\n"));
}

void QtSoapWriter::value(const QString &name, int value)
{
    typedValue(name, "int", QString::number(value));
}

void QtSoapWriter::value(const QString &name, const QString &value)
{
    typedValue(name, "string", value);
}

void QtSoapWriter::write(const QtSoapType &value, const QString &defaultNamespace)
{
    switch (value.type()) {
    case QtSoapType::Int: typedValue(value.name().name(), "int", value.toString()); return;
    case QtSoapType::String: typedValue(value.name().name(), "string", value.toString()); return;
    default: break;
    }
    if (value.count() == 0) {
        emptyStruct(value.name().name(), defaultNamespace);
        return;
    }
    startStruct(value.name().name(), defaultNamespace);
    for (int i = 0; i < value.count(); ++i)
        write(value[i]);
    endStruct(value.name().name());
}

bool QtSoapMessage::writeTo(QIODevice *device) const
{
    QtSoapWriter writer(device);
    writer.startEnvelope();
    writer.write(m_method, m_method.name().uri());
    writer.endEnvelope();
    return writer.ok();
}

QString QtSoapMessage::toXmlString(qint64 maxBytes) const
{
    if (!m_received)
        return requestText();
    if (!m_received->seek(0))
        return QString();
    const QByteArray head = m_received->read(maxBytes);
    // Decoded as the parser decodes it: a byte-order mark, else the declared encoding, else UTF-8.
    QTextCodec *codec = QTextCodec::codecForUtfText(head, nullptr);
    if (!codec) {
        static const QRegularExpression declaration(
            QStringLiteral("^\\s*<\\?xml[^>]*encoding\\s*=\\s*[\"']([A-Za-z0-9._-]+)[\"']"));
        const QRegularExpressionMatch match = declaration.match(QString::fromLatin1(head.left(200)));
        codec = match.hasMatch() ? QTextCodec::codecForName(match.captured(1).toLatin1()) : nullptr;
    }
    return (codec ? codec : QTextCodec::codecForName("UTF-8"))->toUnicode(head);
}

QString QtSoapMessage::requestText() const
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    writeTo(&buffer);
    return QString::fromUtf8(buffer.data());
}

// Deeper answers are refused: values are read, and freed, one stack frame per level.
constexpr int maxValueDepth = 64;

// The names and the texts of one answer, each kept once: an answer repeats a few names and
// values (types, countries, versions) many times over.
class TextTable
{
public:
    QString text(const QStringRef &piece) { return text(QString(piece.constData(), piece.size())); }
    QString text(const QString &text)
    {
        const auto found = m_texts.constFind(text);
        if (found != m_texts.constEnd())
            return *found;
        if (m_texts.size() < 4096)
            m_texts.insert(text);
        return text;
    }

private:
    QSet<QString> m_texts;
};

// Reads the element the reader stands on into a value: a struct when it has child elements,
// a string otherwise. A problem, nesting too deep included, is left in the reader's error.
static std::unique_ptr<QtSoapType> readValue(QXmlStreamReader &reader, int depth, TextTable &names)
{
    const QtSoapQName name(names.text(reader.name()), names.text(reader.namespaceUri()));
    if (depth > maxValueDepth) {
        reader.raiseError(QStringLiteral("values nested deeper than %1 levels").arg(maxValueDepth));
        return std::make_unique<QtSoapStruct>(name);
    }
    std::unique_ptr<QtSoapStruct> members; // made at the first member
    QString text;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::StartElement) {
            if (!members)
                members = std::make_unique<QtSoapStruct>(name);
            members->insert(readValue(reader, depth + 1, names).release());
        } else if (token == QXmlStreamReader::Characters) {
            // Copied at its own size: toString() could share the reader's whole buffer.
            const QStringRef piece = reader.text();
            text = text.isNull() ? QString(piece.constData(), piece.size()) : text + piece;
        } else if (token == QXmlStreamReader::EndElement || token == QXmlStreamReader::Invalid) {
            break;
        }
    }
    if (members)
        return members;
    return std::make_unique<QtSoapSimpleType>(name, names.text(text));
}

void QtSoapMessage::setFault(const QString &text)
{
    m_method = QtSoapStruct();
    m_fault = true;
    m_faultString = QtSoapStruct();
    m_faultString.m_value = text;
    m_faultString.m_type = QtSoapType::String;
}

bool QtSoapMessage::setContent(const QByteArray &buffer)
{
    auto device = std::make_shared<QBuffer>();
    device->setData(buffer);
    device->open(QIODevice::ReadOnly);
    return setContent(device);
}

bool QtSoapMessage::setContent(std::shared_ptr<QIODevice> content)
{
    clear();
    m_received = std::move(content);
    // Read through a device, the document is decoded piece by piece rather than whole.
    if (!m_received->seek(0)) {
        setFault(QStringLiteral("The answer could not be read: ") + m_received->errorString());
        return false;
    }
    QXmlStreamReader reader(m_received.get());
    TextTable names;
    bool inBody = false;
    bool haveValue = false;
    // The whole document is read: an answer cut off or spoilt after its first value is no
    // answer, or what was read before the break would pass for instructions.
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (!inBody) {
            inBody = reader.name() == QLatin1String("Body");
            continue;
        }
        std::unique_ptr<QtSoapType> value = readValue(reader, 1, names);
        if (haveValue || reader.hasError())
            continue;
        haveValue = true;
        if (value->name().name() == QLatin1String("Fault")) {
            setFault((*value)[QStringLiteral("faultstring")].toString());
        } else {
            m_method = QtSoapStruct(value->name());
            m_method.m_children = std::move(value->m_children);
        }
    }
    if (reader.hasError()) {
        setFault(QStringLiteral("The answer could not be parsed: %1 (line %2, column %3)")
                     .arg(reader.errorString())
                     .arg(reader.lineNumber())
                     .arg(reader.columnNumber()));
        return false;
    }
    return haveValue;
}

const QtSoapType &QtSoapMessage::faultString() const
{
    return m_faultString;
}

const QtSoapType &QtSoapMessage::method() const
{
    return m_method;
}

const QtSoapType &QtSoapMessage::returnValue() const
{
    return m_method[0];
}

QtSoapHttpTransport::QtSoapHttpTransport(QObject *parent)
    : QObject(parent)
    , m_manager(new QNetworkAccessManager(this))
{
    m_manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    // Direct unless the client sets a proxy: Qt's own default would read http_proxy itself.
    m_manager->setProxy(QNetworkProxy::NoProxy);
    connect(m_manager, &QNetworkAccessManager::finished, this, &QtSoapHttpTransport::readResponse);
}

QtSoapHttpTransport::~QtSoapHttpTransport()
{
    delete m_reply;
}

void QtSoapHttpTransport::setHost(const QString &host, bool useSecureHTTP, int port)
{
    m_host = host;
    m_secure = useSecureHTTP;
    m_port = port;
}

void QtSoapHttpTransport::setAction(const QString &action)
{
    m_action = action;
}

void QtSoapHttpTransport::submitRequest(QtSoapMessage &request, const QString &path)
{
    m_body.close();
    m_body.setData(QByteArray());
    m_body.open(QIODevice::ReadWrite);
    request.writeTo(&m_body);
    submitRequest(&m_body, path);
}

void QtSoapHttpTransport::submitRequest(QIODevice *body, const QString &path)
{
    QUrl url;
    url.setScheme(m_secure ? QStringLiteral("https") : QStringLiteral("http"));
    url.setHost(m_host);
    if (m_port > 0)
        url.setPort(m_port);
    url.setPath(path);

    QNetworkRequest httpRequest(url);
    httpRequest.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("text/xml;charset=utf-8"));
    httpRequest.setRawHeader("SOAPAction", m_action.toUtf8());

    m_response.clear();
    // The previous reply is kept until the next request so that its error and attributes can
    // still be read after responseReady().
    delete m_reply;
    body->seek(0);
    m_reply = m_manager->post(httpRequest, body);
    // The answer goes to a temporary file as it arrives, so its size costs no memory; to
    // memory only when no such file can be written. The reply buffers at most a chunk: the
    // network thread hears of that limit only once the request has started there, which
    // happens in an event that post() has already queued, so the limit is set after it.
    QMetaObject::invokeMethod(
        m_reply, [reply = m_reply] { reply->setReadBufferSize(readChunk); }, Qt::QueuedConnection);
    m_answer = makeAnswerFile();
    m_answerSize = 0;
    m_answerError.clear();
    if (!m_answer) {
        auto memory = std::make_shared<QBuffer>();
        memory->open(QIODevice::ReadWrite);
        m_answer = memory;
    }
    connect(m_reply, &QNetworkReply::readyRead, this, &QtSoapHttpTransport::keepAnswer);
}

std::shared_ptr<QFileDevice> QtSoapHttpTransport::makeAnswerFile()
{
    auto file = std::make_shared<QTemporaryFile>();
    return file->open() ? file : nullptr;
}

void QtSoapHttpTransport::keepAnswer()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        reply = m_reply;
    if (reply != m_reply || !m_answer)
        return;
    const QByteArray data = reply->readAll();
    if (m_answerSize + data.size() > maxAnswerSize) {
        failAnswer(QStringLiteral("HTTP error: the answer is larger than %1 MB").arg(maxAnswerSize >> 20));
        return;
    }
    // Written through to the disk at once: a full disk must show here, not in a buffer.
    auto *file = qobject_cast<QFileDevice *>(m_answer.get());
    if (m_answer->write(data) == data.size() && (!file || file->flush())) {
        m_answerSize += data.size();
        return;
    }
    // The file refused: what it kept, and the rest, go to memory. What it kept was flushed, so
    // it reads back whole, or the answer is lost and the exchange fails.
    auto memory = std::make_shared<QBuffer>();
    memory->open(QIODevice::ReadWrite);
    QByteArray kept;
    if (file && m_answerSize > 0) {
        if (!file->seek(0) || (kept = file->read(m_answerSize)).size() != m_answerSize) {
            failAnswer(QStringLiteral("HTTP error: the answer could not be kept: ") + file->errorString());
            return;
        }
    }
    if (memory->write(kept) != kept.size() || memory->write(data) != data.size()) {
        failAnswer(QStringLiteral("HTTP error: the answer could not be kept in memory"));
        return;
    }
    m_answerSize += data.size();
    m_answer = memory;
}

void QtSoapHttpTransport::failAnswer(const QString &text)
{
    m_answerError = text;
    m_answer.reset();
    m_reply->abort();
}

void QtSoapHttpTransport::readResponse(QNetworkReply *reply)
{
    if (reply != m_reply)
        return;
    if (reply->bytesAvailable() > 0)
        keepAnswer();
    if (m_answerError.isEmpty()
        && (reply->error() == QNetworkReply::NoError || reply->error() >= QNetworkReply::ContentAccessDenied))
        m_response.setContent(m_answer ? m_answer : std::make_shared<QBuffer>());
    Q_EMIT responseReady();
}
