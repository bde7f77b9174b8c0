#pragma once

// The part of the QtSoap API (Qt Solutions) that the web-service client uses: messages with a
// method and arguments, simple int and string values, structs, faults, and the HTTP transport
// base. Requests are written the way QtSoap writes them (SOAP 1.1 envelope, SOAP encoding,
// each simple value typed with the 1999 XML Schema namespace).

#include <QBuffer>
#include <QObject>
#include <QString>
#include <QVariant>

#include <memory>
#include <vector>

class QFileDevice;
class QIODevice;
class QNetworkAccessManager;
class QNetworkReply;
class QXmlStreamReader;
class QXmlStreamWriter;

class QtSoapQName
{
public:
    QtSoapQName(const QString &name = QString(), const QString &uri = QString());
    QString name() const { return m_name; }
    QString uri() const { return m_uri; }

private:
    QString m_name;
    QString m_uri;
};

// One value of a SOAP message: a simple value (int or string) or a struct of named members.
class QtSoapType
{
public:
    enum Type { Invalid, Int, String, Struct };

    QtSoapType();
    virtual ~QtSoapType();
    QtSoapType(const QtSoapType &) = delete;
    QtSoapType &operator=(const QtSoapType &) = delete;
    QtSoapType(QtSoapType &&) = default;
    QtSoapType &operator=(QtSoapType &&) = default;

    QtSoapQName name() const { return m_name; }
    Type type() const { return m_type; }
    bool isValid() const { return m_type != Invalid; }

    QVariant value() const { return m_type == Int ? QVariant(m_value.toInt()) : QVariant(m_value); }
    QString toString() const { return m_value; }
    // The integer view of the value: 0 for text that is not a number.
    int toInt() const;

    int count() const { return m_children ? static_cast<int>(m_children->size()) : 0; }
    const QtSoapType &operator[](int index) const;
    // The first member with this local name, or an invalid value.
    const QtSoapType &operator[](const QString &name) const;

protected:
    friend class QtSoapMessage;
    QtSoapQName m_name;
    Type m_type = Invalid;
    // Values are kept as text, and members only where there are some: an answer holds many
    // small values.
    QString m_value;
    std::unique_ptr<std::vector<std::unique_ptr<QtSoapType>>> m_children;
};

class QtSoapSimpleType : public QtSoapType
{
public:
    QtSoapSimpleType(const QtSoapQName &name, int value);
    QtSoapSimpleType(const QtSoapQName &name, const QString &value);
};

class QtSoapStruct : public QtSoapType
{
public:
    explicit QtSoapStruct(const QtSoapQName &name = QtSoapQName());
    // Takes ownership of the member.
    void insert(QtSoapType *item);
};

// Writes a message in QtSoap's wire form straight to a device, one element at a time, so a
// large request needs neither a tree of values nor the whole text in memory.
class QtSoapWriter
{
public:
    explicit QtSoapWriter(QIODevice *device)
        : m_device(device)
    {
    }
    void startEnvelope();
    void endEnvelope();
    // An element with members; a default namespace becomes its "xmlns".
    void startStruct(const QString &name, const QString &defaultNamespace = QString());
    void endStruct(const QString &name);
    void emptyStruct(const QString &name, const QString &defaultNamespace = QString());
    void value(const QString &name, int value);
    void value(const QString &name, const QString &value);
    void write(const QtSoapType &value, const QString &defaultNamespace = QString());
    // False once the device refused a write.
    bool ok() const { return m_ok; }

private:
    void write(const QString &text);
    void typedValue(const QString &name, const char *type, const QString &text);

    QIODevice *m_device;
    bool m_ok = true;
};

class QtSoapMessage
{
public:
    QtSoapMessage();
    ~QtSoapMessage();
    QtSoapMessage(const QtSoapMessage &) = delete;
    QtSoapMessage &operator=(const QtSoapMessage &) = delete;

    void setMethod(const QtSoapQName &name);
    // Takes ownership of the argument.
    void addMethodArgument(QtSoapType *argument);
    void addMethodArgument(const QString &name, const QString &uri, int value);
    void addMethodArgument(const QString &name, const QString &uri, const QString &value);

    // Reads a response; false when it is not a SOAP envelope with a body value. A document
    // that does not parse completely becomes a fault whose string says why and where.
    bool setContent(const QByteArray &buffer);
    // The same, read from the device from its start; the message keeps it for toXmlString().
    bool setContent(std::shared_ptr<QIODevice> content);
    // The message as XML text: the request as QtSoap writes it, or a received response as it
    // came, at most its first `maxBytes` bytes, decoded as its declaration says.
    QString toXmlString(qint64 maxBytes = 64 * 1024) const;
    // Writes the request in its wire form; false when the device refused a write.
    bool writeTo(QIODevice *device) const;

    bool isFault() const { return m_fault; }
    const QtSoapType &faultString() const;
    const QtSoapType &method() const;
    // The first child of the method (response) element.
    const QtSoapType &returnValue() const;

    void clear();

private:
    void setFault(const QString &text);
    QString requestText() const;

    QtSoapStruct m_method;
    QtSoapStruct m_faultString;
    bool m_fault = false;
    std::shared_ptr<QIODevice> m_received;
};

// The HTTP side: posts a message to a host and path and parses the answer.
class QtSoapHttpTransport : public QObject
{
    Q_OBJECT
public:
    explicit QtSoapHttpTransport(QObject *parent = nullptr);
    ~QtSoapHttpTransport() override;

    void setHost(const QString &host, bool useSecureHTTP = false, int port = 0);
    void setAction(const QString &action);
    void submitRequest(QtSoapMessage &request, const QString &path);
    // Posts a request already written in its wire form, read from `body` from its start; the
    // device must stay open until the answer is ready.
    void submitRequest(QIODevice *body, const QString &path);
    const QtSoapMessage &getResponse() const { return m_response; }
    QNetworkAccessManager *networkAccessManager() { return m_manager; }
    QNetworkReply *networkReply() { return m_reply; }
    // Why the last answer was dropped while it arrived (too large, or nowhere to keep it);
    // empty otherwise.
    QString answerError() const { return m_answerError; }

    // An answer is refused as soon as it passes this size: a real one for 25,000 sessions is
    // about 10 MB.
    static constexpr qint64 maxAnswerSize = 64 << 20;
    static constexpr qint64 readChunk = 1 << 20;

Q_SIGNALS:
    void responseReady();

protected:
    // Where an answer is kept as it arrives: an open temporary file, or null when none can be
    // made (the answer then goes to memory).
    virtual std::shared_ptr<QFileDevice> makeAnswerFile();

private Q_SLOTS:
    void readResponse(QNetworkReply *reply);
    void keepAnswer();

private:
    void failAnswer(const QString &text);

    QNetworkAccessManager *m_manager;
    QNetworkReply *m_reply = nullptr;
    QtSoapMessage m_response;
    // The body of a request given as a message, kept while the request runs.
    QBuffer m_body;
    // Where the answer is kept as it arrives.
    std::shared_ptr<QIODevice> m_answer;
    qint64 m_answerSize = 0;
    QString m_answerError;
    QString m_host;
    bool m_secure = false;
    int m_port = 0;
    QString m_action;
};
