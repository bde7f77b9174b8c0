#include "qtsoap.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
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

// Writes one element per line, as QtSoap's DOM output does with no indentation.
void writeValue(QString &out, const QtSoapType &value, const QString &defaultNamespace)
{
    out += QLatin1Char('<') + value.name().name();
    if (!defaultNamespace.isEmpty())
        out += QLatin1String(" xmlns=\"") + escapeAttribute(defaultNamespace) + QLatin1Char('"');
    if (value.type() == QtSoapType::Int || value.type() == QtSoapType::String) {
        out += QLatin1String(" xmlns:xsi=\"") + schemaInstanceNamespace + QLatin1String("\" xsi:type=\"xsd:")
               + (value.type() == QtSoapType::Int ? QLatin1String("int") : QLatin1String("string"))
               + QLatin1String("\">") + escapeText(value.toString()) + QLatin1String("</") + value.name().name()
               + QLatin1String(">\n");
        return;
    }
    if (value.count() == 0) {
        out += QLatin1String("/>\n");
        return;
    }
    out += QLatin1String(">\n");
    for (int i = 0; i < value.count(); ++i)
        writeValue(out, value[i], QString());
    out += QLatin1String("</") + value.name().name() + QLatin1String(">\n");
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
    const int value = m_value.toString().trimmed().toInt(&ok);
    return ok ? value : 0;
}

const QtSoapType &QtSoapType::operator[](int index) const
{
    if (index < 0 || index >= count())
        return invalidValue();
    return *m_children[static_cast<size_t>(index)];
}

const QtSoapType &QtSoapType::operator[](const QString &name) const
{
    for (const auto &child : m_children) {
        if (child->m_name.name() == name)
            return *child;
    }
    return invalidValue();
}

QtSoapSimpleType::QtSoapSimpleType(const QtSoapQName &name, int value)
{
    m_name = name;
    m_type = Int;
    m_value = value;
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
    m_children.emplace_back(item);
}

QtSoapMessage::QtSoapMessage() = default;
QtSoapMessage::~QtSoapMessage() = default;

void QtSoapMessage::clear()
{
    m_method = QtSoapStruct();
    m_faultString = QtSoapStruct();
    m_fault = false;
    m_received.clear();
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

QString QtSoapMessage::toXmlString() const
{
    if (!m_received.isNull())
        return QString::fromUtf8(m_received);
    QString out = QLatin1String("<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"") + envelopeNamespace
                  + QLatin1String("\" xmlns:xsd=\"") + schemaNamespace + QLatin1String("\" SOAP-ENV:encodingStyle=\"")
                  + encodingNamespace + QLatin1String("\">\n<SOAP-ENV:Body>\n");
    writeValue(out, m_method, m_method.name().uri());
    out += QLatin1String("</SOAP-ENV:Body>\n</SOAP-ENV:Envelope>\n");
    return out;
}

// Deeper answers are refused: values are read, and freed, one stack frame per level.
constexpr int maxValueDepth = 64;

// Reads the element the reader stands on into a value: a struct when it has child elements,
// a string otherwise. A problem, nesting too deep included, is left in the reader's error.
static std::unique_ptr<QtSoapType> readValue(QXmlStreamReader &reader, int depth)
{
    auto value
        = std::make_unique<QtSoapStruct>(QtSoapQName(reader.name().toString(), reader.namespaceUri().toString()));
    if (depth > maxValueDepth) {
        reader.raiseError(QStringLiteral("values nested deeper than %1 levels").arg(maxValueDepth));
        return value;
    }
    QString text;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::StartElement) {
            value->insert(readValue(reader, depth + 1).release());
        } else if (token == QXmlStreamReader::Characters) {
            text += reader.text();
        } else if (token == QXmlStreamReader::EndElement || token == QXmlStreamReader::Invalid) {
            break;
        }
    }
    if (value->count() == 0) {
        auto simple = std::make_unique<QtSoapSimpleType>(value->name(), text);
        return simple;
    }
    return value;
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
    clear();
    m_received = buffer.isNull() ? QByteArray("") : buffer;
    QXmlStreamReader reader(buffer);
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
        std::unique_ptr<QtSoapType> value = readValue(reader, 1);
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
    m_reply = m_manager->post(httpRequest, request.toXmlString().toUtf8());
}

void QtSoapHttpTransport::readResponse(QNetworkReply *reply)
{
    if (reply != m_reply)
        return;
    if (reply->error() == QNetworkReply::NoError || reply->error() >= QNetworkReply::ContentAccessDenied)
        m_response.setContent(reply->readAll());
    Q_EMIT responseReady();
}
