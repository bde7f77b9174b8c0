#pragma once

// The part of the QtSoap API (Qt Solutions) that the web-service client uses: messages with a
// method and arguments, simple int and string values, structs, faults, and the HTTP transport
// base. Requests are written the way QtSoap writes them (SOAP 1.1 envelope, SOAP encoding,
// each simple value typed with the 1999 XML Schema namespace).

#include <QObject>
#include <QString>
#include <QVariant>

#include <memory>
#include <vector>

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

    QVariant value() const { return m_value; }
    QString toString() const { return m_value.toString(); }
    // The integer view of the value: 0 for text that is not a number.
    int toInt() const;

    int count() const { return static_cast<int>(m_children.size()); }
    const QtSoapType &operator[](int index) const;
    // The first member with this local name, or an invalid value.
    const QtSoapType &operator[](const QString &name) const;

protected:
    friend class QtSoapMessage;
    QtSoapQName m_name;
    Type m_type = Invalid;
    QVariant m_value;
    std::vector<std::unique_ptr<QtSoapType>> m_children;
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
    // The message as XML text: the request as QtSoap writes it, or a received response as it
    // came.
    QString toXmlString() const;

    bool isFault() const { return m_fault; }
    const QtSoapType &faultString() const;
    const QtSoapType &method() const;
    // The first child of the method (response) element.
    const QtSoapType &returnValue() const;

    void clear();

private:
    void setFault(const QString &text);

    QtSoapStruct m_method;
    QtSoapStruct m_faultString;
    bool m_fault = false;
    QByteArray m_received;
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
    const QtSoapMessage &getResponse() const { return m_response; }
    QNetworkAccessManager *networkAccessManager() { return m_manager; }
    QNetworkReply *networkReply() { return m_reply; }

Q_SIGNALS:
    void responseReady();

private Q_SLOTS:
    void readResponse(QNetworkReply *reply);

private:
    QNetworkAccessManager *m_manager;
    QNetworkReply *m_reply = nullptr;
    QtSoapMessage m_response;
    QString m_host;
    bool m_secure = false;
    int m_port = 0;
    QString m_action;
};
