#include "brokertext.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstring>

#include "outsidetext.h"

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("BrokerText", text);
}

} // namespace

QString brokerFailureWords(const MqttClient::Failure &f)
{
    using Kind = MqttClient::FailureKind;
    const QString detail = escapeOutsideText(f.detail);
    switch (f.kind) {
    case Kind::Refused:
        return QStringLiteral("refused: %1").arg(detail);
    case Kind::SameClientId:
        return f.code != 0
            ? QStringLiteral("another client connected with this client ID (a second bridge "
                             "with the same --id?)")
            : QStringLiteral("the broker keeps closing the connection right after accepting it; "
                             "another client may be using this client ID (a second bridge with "
                             "the same --id?)");
    case Kind::ClosedByBroker:
        return QStringLiteral("the broker closed the connection: %1").arg(detail);
    case Kind::NoConnack:
        return QStringLiteral("the broker took the connection but did not answer its CONNECT "
                              "within %1 s (not an MQTT broker at this port, or one overloaded)")
            .arg(f.seconds);
    case Kind::NoAnswer:
        return QStringLiteral("the broker stopped answering (no answer to the keep-alive within "
                              "%1 s)")
            .arg(f.seconds);
    case Kind::Tls:
        return QStringLiteral("TLS failed: %1").arg(detail);
    case Kind::ClientCertificateWanted:
        return QStringLiteral("TLS failed: the broker ended the connection before accepting it "
                              "(it may want a client certificate: --cert and --key)");
    case Kind::Network:
    case Kind::NameLookup:
    case Kind::Closed:
    case Kind::Other:
        break;
    }
    return detail;
}

QString brokerFailureLine(const QString &broker, const MqttClient::Failure &failure,
                          bool wasConnected)
{
    return QStringLiteral("%1 the broker %2: %3")
        .arg(wasConnected ? QStringLiteral("lost") : QStringLiteral("cannot reach"), broker,
             brokerFailureWords(failure));
}

QString brokerRefusedLine(const QString &broker, const QString &username, const QString &reason)
{
    return QStringLiteral("the broker %1 refused the connection%2: %3")
        .arg(broker,
             username.isEmpty() ? QString()
                                : QStringLiteral(" of user %1").arg(escapeOutsideText(username)),
             escapeOutsideText(reason));
}

QString brokerStartFailedLine(const QString &broker, const QString &reason)
{
    return QStringLiteral("cannot connect to the broker %1: %2")
        .arg(broker, escapeOutsideText(reason));
}

QString brokerFailureWordsChinese(const MqttClient::Failure &f)
{
    using Kind = MqttClient::FailureKind;
    switch (f.kind) {
    case Kind::Network:
        switch (f.systemError) {
        case ECONNREFUSED:
            return tr("连接被拒绝（代理服务器没有运行，或端口不对）");
        case ETIMEDOUT:
            return tr("连接超时");
        case EHOSTUNREACH:
        case ENETUNREACH:
            return tr("网络不通");
        case ECONNRESET:
            return tr("连接被重置");
        default:
            return tr("网络错误 %1（%2）")
                .arg(f.systemError)
                .arg(QString::fromLocal8Bit(std::strerror(f.systemError)));
        }
    case Kind::NameLookup:
        return tr("无法解析主机名");
    case Kind::Tls:
        return tr("TLS 握手失败（%1）").arg(escapeOutsideText(f.detail));
    case Kind::ClientCertificateWanted:
        return tr("TLS 握手失败：代理服务器在接受连接前断开了它（它可能要求客户端证书：--cert 和 "
                  "--key）");
    case Kind::NoAnswer:
        return tr("代理服务器不再应答");
    case Kind::NoConnack:
        return tr("对方接受了网络连接，却没有应答 MQTT 连接请求（该端口上可能不是 MQTT 代理服务器，"
                  "或者它负载过重）");
    case Kind::Closed:
        return tr("连接已关闭");
    case Kind::ClosedByBroker:
        return tr("代理服务器关闭了连接（原因代码 %1）").arg(f.code);
    case Kind::SameClientId:
        return tr("另一个客户端在使用同一个客户端 ID");
    case Kind::Refused:
        return tr("代理服务器暂时拒绝连接（原因代码 %1）").arg(f.code);
    case Kind::Other:
        break;
    }
    return escapeOutsideText(f.detail);
}

QString brokerFailureMessage(const QString &broker, const MqttClient::Failure &failure,
                             bool wasConnected)
{
    return (wasConnected ? tr("与代理服务器 %1 的连接已断开（%2）。")
                         : tr("无法连接代理服务器 %1（%2）。"))
               .arg(broker, brokerFailureWordsChinese(failure))
        + tr("\n经代理服务器的开发板暂不列出；连接恢复后会自动出现。请检查网络和代理服务器。");
}

QString brokerRefusedMessage(const QString &broker, const QString &reason)
{
    return tr("代理服务器 %1 拒绝了连接：%2\n请检查 --username 和 --password-file（或证书），"
              "然后重新启动本程序。")
        .arg(broker, escapeOutsideText(reason));
}
