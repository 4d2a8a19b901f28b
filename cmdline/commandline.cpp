#include "commandline.h"

#include <algorithm>
#include <cstdio>

#include "brokeroptions.h"
#include "outsidetext.h"
#include "version.h"

namespace {

// Help lines: the option at the left, its text from column 26, wrapped before column 80.
constexpr int helpColumn = 26;
constexpr int helpWidth = 79;

QString wrapped(const QString &left, const QString &text)
{
    QString out = QStringLiteral("  ") + left;
    QString line;
    const auto flush = [&](bool first) {
        if (first && out.size() < helpColumn - 1)
            out += QString(helpColumn - out.size(), QLatin1Char(' '));
        else
            out += QLatin1Char('\n') + QString(helpColumn, QLatin1Char(' '));
        out += line;
        line.clear();
    };
    bool first = true;
    for (const QString &word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (!line.isEmpty() && helpColumn + line.size() + 1 + word.size() > helpWidth) {
            flush(first);
            first = false;
        }
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    if (!line.isEmpty())
        flush(first);
    return out + QLatin1Char('\n');
}

// A usage form cut into the groups that stay on one line: "[--cert FILE --key FILE]" whole.
QStringList groups(const QString &form)
{
    QStringList out;
    QString group;
    int depth = 0;
    for (const QChar c : form) {
        if (c == QLatin1Char('[') || c == QLatin1Char('('))
            ++depth;
        else if (c == QLatin1Char(']') || c == QLatin1Char(')'))
            --depth;
        if (c == QLatin1Char(' ') && depth == 0) {
            if (!group.isEmpty())
                out << group;
            group.clear();
        } else {
            group += c;
        }
    }
    if (!group.isEmpty())
        out << group;
    return out;
}

} // namespace

CommandLine::CommandLine(QString program, QStringList synopsis)
    : m_program(std::move(program))
    , m_synopsis(std::move(synopsis))
    , m_print([](const QString &text) {
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
        std::fflush(stderr);
    })
{
    // GNU conventions, as QCommandLineParser has them: --port=Com5 or --port Com5, -h, -V, "--"
    // ends the options; options may stand among the positional arguments.
}

void CommandLine::addOption(const QStringList &names, const QString &valueName, const QString &help)
{
    // The parser wants the one-letter names first only for its own help, which is not used.
    m_parser.addOption(QCommandLineOption(names, help, valueName));
    m_declared.append({names, valueName, help});
}

void CommandLine::addPortOptions()
{
    addOption({QStringLiteral("port")}, QStringLiteral("ComN"),
              QStringLiteral("the board's port, Com%1..Com%2: %3; the line is 9600 8N1")
                  .arg(ComPorts::first)
                  .arg(ComPorts::last)
                  .arg(ComPorts::tableText()));
    addOption({QStringLiteral("device")}, QStringLiteral("PATH"),
              QStringLiteral("this device instead of a Com port"));
}

void CommandLine::addBrokerOptions()
{
    addOption({QStringLiteral("broker")}, QStringLiteral("ADDRESS"),
              QStringLiteral("HOST, HOST:PORT, [IPV6]:PORT, IPV6, mqtt://HOST[:PORT] or "
                             "mqtts://HOST[:PORT] (TLS); default localhost, port 1883, or 8883 "
                             "with TLS"));
    addOption({QStringLiteral("username")}, QStringLiteral("NAME"),
              QStringLiteral("log in to the broker as NAME"));
    addOption({QStringLiteral("password-file")}, QStringLiteral("FILE"),
              QStringLiteral("the password is the first line of FILE (never given on the "
                             "command line)"));
    addOption({QStringLiteral("cafile")}, QStringLiteral("FILE"),
              QStringLiteral("TLS, checking the broker's certificate against this CA (default "
                             "with TLS: the system's CA store)"));
    addOption({QStringLiteral("cert")}, QStringLiteral("FILE"),
              QStringLiteral("TLS with this client certificate, for a broker that asks for one"));
    addOption({QStringLiteral("key")}, QStringLiteral("FILE"),
              QStringLiteral("the client certificate's key, without a pass phrase"));
}

void CommandLine::addStandardOptions()
{
    if (m_standardAdded)
        return;
    m_standardAdded = true;
    addOption({QStringLiteral("help"), QStringLiteral("h")}, {}, QStringLiteral("this help"));
    addOption({QStringLiteral("version"), QStringLiteral("V")}, {}, QStringLiteral("the version"));
}

std::optional<ExitStatus> CommandLine::parse(const QStringList &arguments)
{
    addStandardOptions();
    if (!m_parser.parse(arguments)) {
        const QStringList unknown = m_parser.unknownOptionNames();
        if (!unknown.isEmpty()) {
            const QString &name = unknown.first();
            return usageError(
                QStringLiteral("unknown option '%1%2'")
                    .arg(name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--"),
                         escapeOutsideText(name)));
        }
        QString why = escapeOutsideText(m_parser.errorText());
        if (why.endsWith(QLatin1Char('.')))
            why.chop(1);
        if (!why.isEmpty())
            why[0] = why[0].toLower();
        return usageError(why);
    }
    if (m_parser.isSet(QStringLiteral("help"))) {
        std::fputs(helpText().toLocal8Bit().constData(), stdout);
        return ExitStatus::Done;
    }
    if (m_parser.isSet(QStringLiteral("version"))) {
        std::printf("%s %s\n", qPrintable(m_program), RELAY_CONSOLE_VERSION);
        return ExitStatus::Done;
    }
    return std::nullopt;
}

QString CommandLine::helpText() const
{
    QString text;
    const QString usage = QStringLiteral("Usage: ");
    const QString indent(usage.size() + m_program.size() + 1, QLatin1Char(' '));
    for (const QString &form : m_synopsis) {
        QString line
            = (text.isEmpty() ? usage : QString(usage.size(), QLatin1Char(' '))) + m_program;
        for (const QString &group : groups(form)) {
            if (line.size() + 1 + group.size() > helpWidth && line.size() > indent.size()) {
                text += line + QLatin1Char('\n');
                line = indent.chopped(1);
            }
            line += QLatin1Char(' ') + group;
        }
        text += line + QLatin1Char('\n');
    }
    text += QString(usage.size(), QLatin1Char(' ')) + m_program
        + QStringLiteral(" -h | --help | -V | --version\n");
    if (!m_description.isEmpty())
        text += QLatin1Char('\n') + m_description + QLatin1Char('\n');
    text += QStringLiteral("\nOptions (--name VALUE or --name=VALUE; -- ends them):\n");
    for (const Declared &d : m_declared) {
        QStringList written;
        for (const QString &name : d.names)
            written << (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
        std::reverse(written.begin(), written.end()); // "-h, --help"
        QString left = written.join(QStringLiteral(", "));
        if (!d.valueName.isEmpty())
            left += QLatin1Char(' ') + d.valueName;
        text += wrapped(left, d.help);
    }
    if (!m_epilogue.isEmpty())
        text += QLatin1Char('\n') + m_epilogue + QLatin1Char('\n');
    return text;
}

QStringList CommandLine::optionNames() const
{
    QStringList names;
    for (const Declared &d : m_declared) {
        for (const QString &name : d.names)
            names << (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
    }
    return names;
}

void CommandLine::say(const QString &text) const
{
    m_print(m_program + QStringLiteral(": ") + text);
}

ExitStatus CommandLine::usageError(const QString &what) const
{
    say(QStringLiteral("%1; see %2 --help").arg(what, m_program));
    return ExitStatus::Usage;
}

std::optional<CommandLine::Port> CommandLine::port(ExitStatus *status) const
{
    const QStringList ports = m_parser.values(QStringLiteral("port"));
    const QStringList devices = m_parser.values(QStringLiteral("device"));
    Port port;
    if (ports.size() + devices.size() > 1) {
        *status = usageError(QStringLiteral("give one port only: --port ComN or --device PATH"));
        return std::nullopt;
    }
    if (!ports.isEmpty()) {
        port.number = ComPorts::numberFromName(ports.first());
        if (port.number == 0) {
            *status = usageError(QStringLiteral("port '%1' is not one of Com1..Com16")
                                     .arg(escapeOutsideText(ports.first())));
            return std::nullopt;
        }
        port.map = ComPorts::device;
        port.name = QStringLiteral("%1 (%2)").arg(ComPorts::entryText(port.number),
                                                  ComPorts::device(port.number));
    } else if (!devices.isEmpty()) {
        if (devices.first().isEmpty()) {
            *status = usageError(QStringLiteral("--device needs a path"));
            return std::nullopt;
        }
        port.device = devices.first();
        port.number = 1;
        port.map = [path = port.device](int) { return path; };
        port.name = escapeOutsideText(port.device);
    }
    return port;
}

std::optional<MqttSettings> CommandLine::broker(ExitStatus *status) const
{
    MqttSettings mqtt;
    const auto fail = [&](const QString &what) -> std::optional<MqttSettings> {
        *status = usageError(what);
        return std::nullopt;
    };
    const bool tlsFiles = isSet(QStringLiteral("cafile")) || isSet(QStringLiteral("cert"))
        || isSet(QStringLiteral("key"));
    if (isSet(QStringLiteral("broker"))) {
        const QString text = value(QStringLiteral("broker"));
        const auto address = parseBrokerAddress(text);
        if (!address)
            return fail(QStringLiteral("--broker '%1' is none of HOST, HOST:PORT, [IPV6]:PORT, "
                                       "IPV6, mqtt://HOST[:PORT], mqtts://HOST[:PORT] (PORT "
                                       "1..65535)")
                            .arg(escapeOutsideText(text)));
        mqtt.host = address->host;
        mqtt.port = address->port;
        mqtt.tls = address->tls;
        if (address->plainAsked && tlsFiles)
            return fail(QStringLiteral("mqtt:// is a plain connection; TLS options go with "
                                       "mqtts://"));
    }
    if (isSet(QStringLiteral("cert")) != isSet(QStringLiteral("key")))
        return fail(QStringLiteral("--cert and --key go together"));
    mqtt.caFile = value(QStringLiteral("cafile"));
    mqtt.certFile = value(QStringLiteral("cert"));
    mqtt.keyFile = value(QStringLiteral("key"));
    if (tlsFiles)
        mqtt.tls = true;
    if (mqtt.port == 0)
        mqtt.port = mqtt.tls ? 8883 : 1883;
    if (isSet(QStringLiteral("password-file")) && !isSet(QStringLiteral("username")))
        return fail(QStringLiteral("--password-file goes with --username"));
    mqtt.username = value(QStringLiteral("username"));
    if (isSet(QStringLiteral("password-file"))) {
        // From a file, so that it shows in no process list and no shell history.
        QString error, warning;
        if (!readPasswordFile(value(QStringLiteral("password-file")), &mqtt.password, &error,
                              &warning))
            return fail(error);
        if (!warning.isEmpty())
            say(warning);
    }
    if (mqtt.tls) {
        if (const QString problem = tlsFilesProblem(mqtt.caFile, mqtt.certFile, mqtt.keyFile);
            !problem.isEmpty())
            return fail(problem);
    }
    return mqtt;
}
