#include "shell/qt_messages.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QMetaObject>
#include <QStringDecoder>
#include <QThread>

namespace ephys {

QString qtTextFromBytes(std::string_view bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    if (decoder.hasError()) return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
    return text;
}

std::string qtBytesFromText(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    return std::string(utf8.constData(), static_cast<std::size_t>(utf8.size()));
}

QFont qtFontFromFace(std::string_view face, int pixelHeight) {
    QFont font(qtTextFromBytes(face));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixelHeight);
    return font;
}

QtMessageSink::QtMessageSink(QWidget* parent) : parent_(parent), anchor_(std::make_unique<QObject>()) {
    if (QCoreApplication* app = QCoreApplication::instance(); app != nullptr)
        anchor_->moveToThread(app->thread());
}

QtMessageSink::~QtMessageSink() = default;

void QtMessageSink::runOnGuiThread(const std::function<void()>& work) {
    const QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || QThread::currentThread() == app->thread()) {
        work();
        return;
    }
    // A worker waits here until the user has closed the box, as the original modal call did.
    QMetaObject::invokeMethod(
        anchor_.get(), [&work] { work(); }, Qt::BlockingQueuedConnection);
}

void QtMessageSink::show(MessageKind kind, std::string_view caption, std::string_view text) {
    const std::string captionCopy(caption), textCopy(text);
    if (intercept) {
        intercept(kind, captionCopy, textCopy);
        return;
    }
    runOnGuiThread([&] { showOnGuiThread(kind, captionCopy, textCopy); });
}

void QtMessageSink::showOnGuiThread(MessageKind kind, const std::string& caption, const std::string& text) {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (kind) {
        case MessageKind::ErrorBox:
            icon = QMessageBox::NoIcon;
            break;
        case MessageKind::PlainError:
        case MessageKind::Warning:
        case MessageKind::ParameterError:
            icon = QMessageBox::Warning;
            break;
        case MessageKind::Information:
            icon = QMessageBox::Information;
            break;
    }
    QMessageBox box(icon, qtTextFromBytes(caption), qtTextFromBytes(text), QMessageBox::Ok, parent_.data());
    box.exec();
}

bool QtMessageSink::confirmSaveName(std::string& path, std::string_view description,
                                    std::string_view extension) {
    if (intercept) return saveAnswer;
    const std::string descriptionCopy(description), extensionCopy(extension);
    bool answer = false;
    runOnGuiThread([&] { answer = askOnGuiThread(path, descriptionCopy, extensionCopy); });
    return answer;
}

bool QtMessageSink::askOnGuiThread(std::string& path, const std::string& description,
                                   const std::string& extension) {
    QFileDialog dialog(parent_.data());
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(qtTextFromBytes(description + " (*." + extension + ")"));
    // The output writers' own default when the user types a name without an extension.
    dialog.setDefaultSuffix(QStringLiteral("txt"));
    const QFileInfo start(qtTextFromBytes(path));
    dialog.setDirectory(start.absolutePath());
    dialog.selectFile(start.fileName());
    if (dialog.exec() != QDialog::Accepted) return false;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty()) return false;
    path = qtBytesFromText(chosen.front());
    return true;
}

}  // namespace ephys
