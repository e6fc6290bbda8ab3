// The operator's window in Qt: controls, placement, font and the forwarding of its handlers.
#include "app/desktop/MainForm.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFont>
#include <QIcon>
#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <utility>

#include "app/LogLine.h"

namespace vantorix {
namespace {

QString ToQString(const std::u16string& text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

// Segoe UI where it is installed; otherwise the nearest humanist sans-serif faces, then the
// metric twin of Arial, then whatever sans-serif the system has.
QFont WindowFont() {
  QFont font;
  font.setFamilies({QStringLiteral("Segoe UI"), QStringLiteral("Selawik"),
                    QStringLiteral("Noto Sans"), QStringLiteral("Open Sans"),
                    QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                    QStringLiteral("DejaVu Sans")});
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(12);
  return font;
}

// The window's client area and the height of the strip along its bottom, in pixels.
constexpr int kClientWidth = 764;
constexpr int kClientHeight = 409;
constexpr int kPanel2Height = 123;

// The text's lines joined with LF, the one break Qt's text controls know.
QString JoinLines(std::u16string_view text) {
  QString joined;
  joined.reserve(static_cast<qsizetype>(text.size()));
  for (std::size_t at = 0;;) {
    const TLineSpan line = LineAt(text, at);
    joined += QStringView(text.data() + at, static_cast<qsizetype>(line.End - at));
    if (line.Next >= text.size()) {
      return joined;
    }
    joined += u'\n';
    at = line.Next;
  }
}

}  // namespace

void TQtErrorReporter::ShowError(const std::u16string& text) {
  QMessageBox box(QMessageBox::Critical, QStringLiteral("Vantorix"), JoinLines(text),
                  QMessageBox::Ok, FParent);
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

TQtLogControl::TQtLogControl(QPlainTextEdit& edit) : FEdit(edit) {
  // The log is never edited; an undo history would keep every line ever dropped.
  FEdit.setUndoRedoEnabled(false);
  FNextPass.setSingleShot(true);
  QObject::connect(&FNextPass, &QTimer::timeout, [this] { ShowPass(); });
}

void TQtLogControl::AddEntry(const std::u16string& entry) {
  FPending.push_back({entry, 0});
  // An entry that finds nothing waiting shows (at least its first part) at once.
  if (!FNextPass.isActive()) {
    ShowPass();
  }
}

void TQtLogControl::ShowPass() {
  QString part;
  for (int lines = 0; lines < kLinesPerPass && !FPending.empty(); ++lines) {
    TPendingEntry& entry = FPending.front();
    const TLineSpan line = LineAt(entry.Text, entry.At);
    if (lines > 0) {
      part += u'\n';
    }
    const TShownLine shown =
        ShownLine(std::u16string_view(entry.Text).substr(entry.At, line.End - entry.At));
    part += QStringView(shown.Text.data(), static_cast<qsizetype>(shown.Text.size()));
    part += QStringView(shown.Omitted.data(), static_cast<qsizetype>(shown.Omitted.size()));
    entry.At = line.Next;
    if (entry.At >= entry.Text.size()) {
      FPending.pop_front();
    }
  }
  // Each line is a paragraph of its own, so lines shown in separate passes read as one entry.
  FEdit.appendPlainText(part);
  DropOldestLines();
  if (!FPending.empty()) {
    FNextPass.start(0);
  }
}

void TQtLogControl::DropOldestLines() {
  QTextDocument& document = *FEdit.document();
  const int excess = document.blockCount() - kLogLineLimit;
  if (excess < kDropBatch) {
    return;
  }
  // One selection from the start to the first line kept. Each removal makes the document compact
  // its whole text, at much the same cost for few lines as for many, hence the batches. (The
  // edit's own block limit walks the lines one at a time, laying each out: seconds per large read.)
  QTextCursor cursor(&document);
  cursor.setPosition(document.findBlockByNumber(excess).position(), QTextCursor::KeepAnchor);
  cursor.removeSelectedText();
}

void TQtCounterLabel::SetText(const std::u16string& text) {
  FLabel.setText(ToQString(text));
  FLabel.adjustSize();
}

TMainForm::TMainForm(TMainFormSetup setup, TErrorReporter* errors)
    : QWidget(nullptr),
      Panel1(this),
      Panel2(this),
      logLines(&Panel1),
      lbPort(QStringLiteral("Port"), &Panel2),
      edPort(QStringLiteral("8989"), &Panel2),
      btStart(QStringLiteral("Change"), &Panel2),
      clients_connected(&Panel2),
      Label2(QStringLiteral("Clients connected"), &Panel2),
      FLayout(this),
      FPanel1Layout(&Panel1),
      FQtErrors(this),
      FLog(logLines),
      FCounter(clients_connected),
      FCore(FWindowThread, errors != nullptr ? *errors : FQtErrors, std::move(setup)) {
  setObjectName(QStringLiteral("MainForm"));
  setWindowTitle(QStringLiteral("Vantorix"));
  setWindowIcon(QIcon::fromTheme(QStringLiteral("vantorix")));
  setFont(WindowFont());
  resize(kClientWidth, kClientHeight);

  Panel1.setObjectName(QStringLiteral("Panel1"));
  Panel2.setObjectName(QStringLiteral("Panel2"));
  logLines.setObjectName(QStringLiteral("logLines"));
  lbPort.setObjectName(QStringLiteral("lbPort"));
  edPort.setObjectName(QStringLiteral("edPort"));
  btStart.setObjectName(QStringLiteral("btStart"));
  clients_connected.setObjectName(QStringLiteral("clients_connected"));
  Label2.setObjectName(QStringLiteral("Label2"));

  // The log takes whatever height the window has above the strip, which keeps its own.
  FLayout.setContentsMargins(0, 0, 0, 0);
  FLayout.setSpacing(0);
  FLayout.addWidget(&Panel1, 1);
  FLayout.addWidget(&Panel2, 0);
  FPanel1Layout.setContentsMargins(0, 0, 0, 0);
  FPanel1Layout.addWidget(&logLines);
  Panel1.setFrameStyle(QFrame::Panel | QFrame::Raised);
  Panel2.setFrameStyle(QFrame::Panel | QFrame::Raised);
  Panel2.setFixedHeight(kPanel2Height);

  logLines.setReadOnly(true);
  logLines.setLineWrapMode(QPlainTextEdit::NoWrap);
  logLines.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  logLines.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  // Tab stops every eight average characters, as in the usual multi-line edit control, so that
  // the TAB-indented users document stays readable.
  logLines.setTabStopDistance(8 * logLines.fontMetrics().averageCharWidth());

  lbPort.move(72, 35);
  lbPort.adjustSize();
  edPort.setGeometry(72, 56, 41, 23);
  btStart.setGeometry(136, 55, 75, 25);
  clients_connected.move(72, 96);
  clients_connected.adjustSize();
  Label2.move(136, 96);
  Label2.adjustSize();
  QObject::connect(&btStart, &QPushButton::clicked, this, [this] { btStartClick(); });

  FCore.FormCreate(FLog, FCounter);
}

TMainForm::~TMainForm() = default;

void TMainForm::RequestClose() {
  FWindowThread.Queue([this] { close(); });
}

void TMainForm::btStartClick() {
  FCore.btStartClick(edPort.text().toStdU16String());
}

void TMainForm::closeEvent(QCloseEvent* event) {
  FCore.FormClose();
  event->accept();
  QCoreApplication::quit();
}

}  // namespace vantorix
