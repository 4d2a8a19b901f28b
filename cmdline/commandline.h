#pragma once

#include <QCommandLineParser>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

#include "comports.h"
#include "exitstatus.h"
#include "mqttsettings.h"

// A program's command line: its options declared once, each with the text --help gives it, so
// that the help is made from what the program really takes. The port and broker options that
// several programs share are declared here, with the checks and the messages that go with
// them. Usage errors are one line on standard error, "PROGRAM: what; see PROGRAM --help", and
// exit status 2; text from the command line is escaped in them.
class CommandLine
{
public:
    // `synopsis`: what follows "Usage: PROGRAM " on each usage line.
    CommandLine(QString program, QStringList synopsis);

    // Help text between the usage lines and the options, and after the options.
    void setDescription(const QString &text) { m_description = text; }
    void setEpilogue(const QString &text) { m_epilogue = text; }
    // `names`: the long name first ("port"), then any one-letter ones; `valueName` empty for a
    // flag.
    void addOption(const QStringList &names, const QString &valueName, const QString &help);
    // --port ComN and --device PATH.
    void addPortOptions();
    // --broker, --username, --password-file, --cafile, --cert, --key.
    void addBrokerOptions();
    // -h, --help, -V and --version (parse() declares them too): for a program that prints its
    // help without parsing a command line of its own.
    void addStandardOptions();
    // Where the program's lines go (default: standard error, at once).
    void setPrinter(std::function<void(const QString &)> printLine)
    {
        m_print = std::move(printLine);
    }

    // Nothing when the program goes on; otherwise the status to end with, after the help, the
    // version or a usage error was printed.
    std::optional<ExitStatus> parse(const QStringList &arguments);

    bool isSet(const QString &name) const { return m_parser.isSet(name); }
    QString value(const QString &name) const { return m_parser.value(name); }
    QStringList values(const QString &name) const { return m_parser.values(name); }
    QStringList positionalArguments() const { return m_parser.positionalArguments(); }

    QString helpText() const;
    // Every option as it is written, "--port", "-h", for the check against the man page.
    QStringList optionNames() const;

    // Prints "PROGRAM: text".
    void say(const QString &text) const;
    // Prints the usage error and gives its status.
    ExitStatus usageError(const QString &what) const;

    struct Port
    {
        int number = 0; // the Com number; 1 for a --device path (mapped to every number)
        QString device; // the --device path, if one was given
        ComPorts::PortMap map;
        QString name; // as messages name it: "Com5 (/dev/ttyUSB0)", or the path given
        bool given() const { return bool(map); }
    };
    // The port given; one without a map when none was given. Nothing after a usage error (two
    // ports, an unknown Com name, an empty path), with `status` set.
    std::optional<Port> port(ExitStatus *status) const;

    // The broker's settings from the broker options; nothing after a usage error or a file that
    // cannot be used (said, `status` set). A readable password file gets a warning line.
    std::optional<MqttSettings> broker(ExitStatus *status) const;

private:
    QString m_program;
    QStringList m_synopsis;
    QString m_description;
    QString m_epilogue;
    QCommandLineParser m_parser;
    struct Declared
    {
        QStringList names;
        QString valueName;
        QString help;
    };
    QList<Declared> m_declared;
    std::function<void(const QString &)> m_print;
    bool m_standardAdded = false;
};
