// File names from the command line as the file system spells them. Qt decodes every argument as
// UTF-8 and turns bytes that are not UTF-8 into U+FFFD, so a name taken from QCommandLineParser
// can name another file than the one given, or none. The programs therefore take the bytes of
// their file arguments from argv itself: each argument the parser returns is found again among
// the raw arguments (decoded the way Qt decodes them) and its own bytes are used.
#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QFile>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <string>
#include <vector>

namespace ephys {

class ArgumentBytes {
  public:
    // argc and argv as main received them (or as the application object left them).
    ArgumentBytes(int argc, char* argv[]) {
        for (int i = 1; i < argc; ++i) {
            raw_.emplace_back(argv[i]);
            decoded_.push_back(QString::fromLocal8Bit(argv[i]));
        }
    }

    // The parser's positional arguments, each as its bytes. File arguments usually follow the
    // options, so they are matched from the end: the last positional argument with the last raw
    // argument that reads the same, and so on backwards.
    std::vector<std::string> positional(const QCommandLineParser& parser) const {
        const QStringList names = parser.positionalArguments();
        std::vector<std::string> out(static_cast<std::size_t>(names.size()));
        std::size_t end = raw_.size();
        for (qsizetype k = names.size(); k-- > 0;) {
            std::size_t j = end;
            while (j > 0 && decoded_[j - 1] != names[k]) --j;
            if (j == 0) {
                out[static_cast<std::size_t>(k)] = bytesOf(names[k]);
                continue;
            }
            out[static_cast<std::size_t>(k)] = raw_[j - 1];
            end = j - 1;
        }
        return out;
    }

    // The option's value (its last one) as bytes: given as "--name VALUE" or "--name=VALUE".
    std::string value(const QCommandLineParser& parser, const QCommandLineOption& option) const {
        const QString wanted = parser.value(option);
        for (std::size_t j = raw_.size(); j-- > 0;) {
            for (const QString& name : option.names()) {
                const QString dashes = name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--");
                if (j > 0 && decoded_[j] == wanted && decoded_[j - 1] == dashes + name) return raw_[j];
                if (decoded_[j] == dashes + name + QLatin1Char('=') + wanted)
                    return raw_[j].substr(raw_[j].find('=') + 1);
            }
        }
        return bytesOf(wanted);
    }

  private:
    static std::string bytesOf(const QString& name) { return QFile::encodeName(name).toStdString(); }

    std::vector<std::string> raw_;
    QStringList decoded_;
};

}  // namespace ephys
