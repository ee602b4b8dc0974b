#pragma once

#include "interop/InteropFormat.h"

#include <QDialog>
#include <QPointer>

#include <memory>

class QComboBox;
class QDialogButtonBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QThread;
class QTimer;

namespace tarni {

// Shows what a file would add before anything is added: it is read in the
// background (with progress, cancellable), in the format chosen or the one
// its content shows, and Import stays disabled until it has been read
// without error.
class ImportPreviewDialog : public QDialog {
    Q_OBJECT
public:
    explicit ImportPreviewDialog(const QString &path, QWidget *parent = nullptr);
    ~ImportPreviewDialog() override;

    // The parsed file once reading has finished without error.
    const InteropImport *result() const { return m_result.get(); }
    bool isReading() const { return m_reading != nullptr; }
    QComboBox *formatChooser() const { return m_format; }
    QString summaryText() const;

Q_SIGNALS:
    // Reading finished (with or without error).
    void readingFinished();

private:
    struct Reading;
    void startReading();
    void finishReading(const std::shared_ptr<Reading> &reading);
    void showProgress();

    QString m_path;
    QComboBox *m_format = nullptr;
    QLabel *m_summary = nullptr;
    QProgressBar *m_progress = nullptr;
    QDialogButtonBox *m_buttons = nullptr;
    QPushButton *m_import = nullptr;
    QTimer *m_poll = nullptr;
    std::shared_ptr<Reading> m_reading;
    std::vector<QPointer<QThread>> m_threads;
    std::unique_ptr<InteropImport> m_result;
};

// The export formats as file dialog filters, and the format a filter names.
QStringList exportFileFilters();
std::optional<InteropFormat> exportFormatOfFilter(const QString &filter);
QStringList importFileFilters();

} // namespace tarni
