// The Qt backend module: message boxes and dialogs as Qt widgets. Loaded on
// demand by the program (see QtLoader.cpp); it knows the dialog only through
// DialogSession, and no exception leaves it.

#include <QApplication>
#include <QBitmap>
#include <QCloseEvent>
#include <QDialog>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QThread>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/ui/Backend.h"
#include "platform/ui/WinUser.h"

namespace {

using namespace platform::ui;

bool HasEnv(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0';
}

// Qt's widgets live on one thread, the one that made the application object.
// Without a display to talk to, Qt would end the process; we decline instead.
bool ApplicationReady() {
    if (QCoreApplication* app = QCoreApplication::instance())
        return qobject_cast<QApplication*>(app) != nullptr &&
               QThread::currentThread() == app->thread();
    if (!HasEnv("QT_QPA_PLATFORM") && !HasEnv("DISPLAY") && !HasEnv("WAYLAND_DISPLAY"))
        return false;
    static int argc = 1;
    static char name[] = "ostrel";
    static char* argv[] = {name, nullptr};
    // Lives as long as the process: the module is never unloaded.
    new QApplication(argc, argv);
    return true;
}

QFont DialogFont(int points) {
    // The templates were laid out for an 8-point sans-serif face; the system's
    // own sans-serif stands in for it.
    QFont font(QStringLiteral("Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(points > 0 ? points : 8);
    return font;
}

// Dialog units: a quarter of the font's average character width across, an
// eighth of its height down.
class DialogUnits {
public:
    explicit DialogUnits(const QFont& font) {
        const QFontMetricsF fm(font);
        m_baseX = std::round(fm.horizontalAdvance(QStringLiteral(
                                 "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) /
                             52.0);
        m_baseY = std::round(fm.height());
        if (m_baseX < 1) m_baseX = 1;
        if (m_baseY < 1) m_baseY = 1;
    }
    int X(int du) const { return int(std::lround(du * m_baseX / 4.0)); }
    int Y(int du) const { return int(std::lround(du * m_baseY / 8.0)); }
    QRect Rect(const DuRect& r) const { return QRect(X(r.x), Y(r.y), X(r.cx), Y(r.cy)); }

private:
    double m_baseX = 6;
    double m_baseY = 13;
};

QString Text(const std::string& utf8) {
    return QString::fromUtf8(utf8.data(), qsizetype(utf8.size()));
}

QString ObjectName(const ControlView& v, int index) {
    if (v.id != -1 && v.id != 0xFFFF) return QStringLiteral("ctl_%1").arg(v.id);
    return QStringLiteral("item_%1").arg(index);
}

class QtDialog final : public QDialog, public DialogObserver {
public:
    QtDialog(DialogSession& session, QWidget* parent)
        : QDialog(parent), m_session(session), m_units(DialogFont(session.PointSize())) {
        setObjectName(QStringLiteral("dialog_%1").arg(session.TemplateId()));
        setWindowTitle(Text(session.Caption()));
        setFont(DialogFont(session.PointSize()));
        setModal(true);
        const DuRect frame = session.Frame();
        setFixedSize(m_units.X(frame.cx), m_units.Y(frame.cy));
        for (int i = 0; i < session.ControlCount(); ++i) m_widgets.push_back(Make(i));
        for (int i = 0; i < session.ControlCount(); ++i) Refresh(i);
        Layout();
        if (const int focus = session.FocusIndex(); focus >= 0 && focus < int(m_widgets.size()))
            m_widgets[std::size_t(focus)]->setFocus(Qt::OtherFocusReason);
        m_session.SetObserver(this);
    }

    ~QtDialog() override { m_session.SetObserver(nullptr); }

    void ControlChanged(int index) noexcept override {
        try {
            Refresh(index);
            if (m_session.Control(index).kind == ControlKind::Label) Layout();
        } catch (...) {
        }
    }

    void DialogEnded(std::intptr_t result) noexcept override { done(int(result)); }

    // Escape.
    void reject() override {
        if (!m_session.Ended()) m_session.UserPress(UserKey::Escape);
    }

protected:
    // The close box.
    void closeEvent(QCloseEvent* event) override {
        if (m_session.Ended()) {
            event->accept();
            return;
        }
        event->ignore();
        m_session.UserPress(UserKey::CloseBox);
    }

private:
    QWidget* Make(int index) {
        const ControlView v = m_session.Control(index);
        QWidget* w = nullptr;
        switch (v.kind) {
            case ControlKind::PushButton:
            case ControlKind::DefPushButton: {
                auto* button = new QPushButton(Text(v.text), this);
                button->setAutoDefault(true);
                button->setDefault(v.kind == ControlKind::DefPushButton);
                connect(button, &QPushButton::clicked, this,
                        [this, index] { m_session.UserClick(index); });
                w = button;
                break;
            }
            case ControlKind::Label: {
                auto* label = new QLabel(this);
                label->setTextFormat(Qt::PlainText);
                label->setAlignment((v.align == TextAlign::Right    ? Qt::AlignRight
                                     : v.align == TextAlign::Center ? Qt::AlignHCenter
                                                                    : Qt::AlignLeft) |
                                    Qt::AlignTop);
                w = label;
                break;
            }
            case ControlKind::Picture: {
                auto* picture = new QLabel(this);
                QPixmap pixmap;
                if (!v.bitmap.empty())
                    pixmap.loadFromData(v.bitmap.data(), uint(v.bitmap.size()), "BMP");
                // The pictures were drawn on the classic light-grey dialog
                // face; that grey lets the dialog's own background through.
                if (!pixmap.isNull())
                    pixmap.setMask(pixmap.createMaskFromColor(QColor(192, 192, 192)));
                picture->setPixmap(pixmap);
                w = picture;
                break;
            }
            case ControlKind::Edit: {
                auto* edit = new QLineEdit(this);
                edit->setFrame(v.border);
                if (v.password) edit->setEchoMode(QLineEdit::Password);
                connect(edit, &QLineEdit::textEdited, this, [this, index](const QString& text) {
                    QByteArray utf8 = text.toUtf8();
                    m_session.UserType(index,
                                       std::string(utf8.constData(), std::size_t(utf8.size())));
                    utf8.fill('\0');
                });
                w = edit;
                break;
            }
            case ControlKind::ListBox: {
                auto* list = new QListWidget(this);
                list->setSelectionMode(QAbstractItemView::SingleSelection);
                list->setSortingEnabled(false);
                list->setVerticalScrollBarPolicy(v.vscroll ? Qt::ScrollBarAsNeeded
                                                           : Qt::ScrollBarAlwaysOff);
                // Selection, not the current row: Qt moves the current row to
                // the first one when the list gets the focus, which is no
                // choice of the user's.
                connect(list, &QListWidget::itemSelectionChanged, this, [this, list, index] {
                    const auto selected = list->selectedItems();
                    if (selected.isEmpty()) return;
                    const int row = list->row(selected.front());
                    if (row != m_session.Control(index).selection) m_session.UserSelect(index, row);
                });
                w = list;
                break;
            }
            case ControlKind::RichEdit: {
                auto* text = new QPlainTextEdit(this);
                // Wrapped, so the whole of a text about to be signed can be
                // read without scrolling sideways.
                text->setLineWrapMode(QPlainTextEdit::WidgetWidth);
                text->setVerticalScrollBarPolicy(v.vscroll ? Qt::ScrollBarAsNeeded
                                                           : Qt::ScrollBarAlwaysOff);
                w = text;
                break;
            }
            case ControlKind::Other:
                w = new QWidget(this);
                break;
        }
        w->setObjectName(ObjectName(v, index));
        w->setFocusPolicy(v.kind == ControlKind::Label || v.kind == ControlKind::Picture
                              ? Qt::NoFocus
                          : v.tabStop ? Qt::StrongFocus
                                      : Qt::ClickFocus);
        w->setGeometry(m_units.Rect(v.rect));
        return w;
    }

    void Refresh(int index) {
        if (index < 0 || index >= int(m_widgets.size())) return;
        const ControlView v = m_session.Control(index);
        QWidget* w = m_widgets[std::size_t(index)];
        const QSignalBlocker block(w);
        switch (v.kind) {
            case ControlKind::PushButton:
            case ControlKind::DefPushButton:
                static_cast<QPushButton*>(w)->setText(Text(v.text));
                break;
            case ControlKind::Label: {
                auto* label = static_cast<QLabel*>(w);
                label->setText(Text(v.text));
                FitLabel(label, v);
                break;
            }
            case ControlKind::Picture: {
                // A picture control takes the size of its picture.
                auto* picture = static_cast<QLabel*>(w);
                if (!picture->pixmap().isNull()) picture->resize(picture->pixmap().size());
                break;
            }
            case ControlKind::Edit: {
                auto* edit = static_cast<QLineEdit*>(w);
                edit->setReadOnly(v.readOnly);
                if (edit->text() != Text(v.text)) {
                    edit->setText(Text(v.text));
                    edit->setCursorPosition(0);
                }
                break;
            }
            case ControlKind::ListBox: {
                auto* list = static_cast<QListWidget*>(w);
                QStringList rows;
                for (const auto& row : v.rows) rows << Text(row);
                bool same = list->count() == rows.size();
                for (int r = 0; same && r < rows.size(); ++r)
                    same = list->item(r)->text() == rows[r];
                if (!same) {
                    list->clear();
                    list->addItems(rows);
                }
                if (v.selection >= 0 && v.selection < list->count()) {
                    list->setCurrentRow(v.selection);
                } else {
                    list->clearSelection();
                    list->setCurrentIndex(QModelIndex());
                }
                break;
            }
            case ControlKind::RichEdit: {
                auto* text = static_cast<QPlainTextEdit*>(w);
                text->setReadOnly(v.readOnly);
                if (text->toPlainText() != Text(v.text)) text->setPlainText(Text(v.text));
                break;
            }
            case ControlKind::Other:
                break;
        }
        w->setEnabled(v.enabled);
        w->setVisible(v.visible);
    }

    // Faces differ in width: a label whose text would be cut grows away from
    // the side it is aligned to, as far as the dialog's edge; text wider than
    // that is broken into lines, and the label grows down to hold them all
    // (Layout moves what lies below).
    void FitLabel(QLabel* label, const ControlView& v) {
        const QRect base = m_units.Rect(v.rect);
        const QFontMetrics fm = label->fontMetrics();
        const int room =
            std::max(base.width(), m_units.X(m_session.Frame().cx) - base.left() - m_units.X(7));
        const QString text = Wrapped(fm, Text(v.text), room - 2);
        label->setText(text);
        const QSize needed =
            fm.boundingRect(QRect(0, 0, room, 1 << 20), Qt::AlignLeft, text).size();
        QRect r = base;
        if (needed.width() + 2 > base.width()) {
            if (v.align == TextAlign::Right)
                r.setLeft(base.right() + 1 - (needed.width() + 2));
            else
                r.setWidth(std::min(needed.width() + 2, room));
        }
        r.setHeight(std::max(base.height(), needed.height()));
        label->setGeometry(r);
    }

    // `text` broken into lines no wider than `width`: between words where it
    // can, within a word (a long origin has none) where it must. Every
    // character stays; only line breaks are added.
    static QString Wrapped(const QFontMetrics& fm, const QString& text, int width) {
        QStringList out;
        for (const QString& paragraph : text.split(QLatin1Char('\n'))) {
            QString line;
            int i = 0;
            while (i < paragraph.size()) {
                // The next word with the spaces after it.
                int end = i;
                while (end < paragraph.size() && paragraph[end] != QLatin1Char(' ')) ++end;
                while (end < paragraph.size() && paragraph[end] == QLatin1Char(' ')) ++end;
                const QString word = paragraph.mid(i, end - i);
                if (fm.horizontalAdvance((line + word).trimmed()) <= width) {
                    line += word;
                } else if (!line.isEmpty() && fm.horizontalAdvance(word.trimmed()) <= width) {
                    out << line;
                    line = word;
                } else {
                    for (const QChar c : word) {
                        if (!line.isEmpty() && fm.horizontalAdvance((line + c).trimmed()) > width) {
                            out << line;
                            line.clear();
                        }
                        line += c;
                    }
                }
                i = end;
            }
            out << line;
        }
        return out.join(QLatin1Char('\n'));
    }

    // A control moves down by as much as the labels above it grew, and the
    // dialog with them, so that nothing is cut off or covered.
    void Layout() {
        const int count = int(m_widgets.size());
        std::vector<QRect> base(static_cast<std::size_t>(count));
        std::vector<int> order(static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i) {
            base[std::size_t(i)] = m_units.Rect(m_session.Control(i).rect);
            order[std::size_t(i)] = i;
        }
        std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
            return base[std::size_t(a)].top() < base[std::size_t(b)].top();
        });
        std::vector<int> shift(static_cast<std::size_t>(count), 0);
        int grown = 0;
        for (int i : order) {
            const QRect& b = base[std::size_t(i)];
            int by = 0;
            for (int j : order) {
                const QRect& above = base[std::size_t(j)];
                if (above.top() >= b.top()) break;
                if (above.top() + above.height() > b.top()) continue;
                by = std::max(by, shift[std::size_t(j)] + Extra(j, above));
            }
            shift[std::size_t(i)] = by;
            QWidget* w = m_widgets[std::size_t(i)];
            QRect g = w->geometry();
            g.moveTop(b.top() + by);
            w->setGeometry(g);
            grown = std::max(grown, by + Extra(i, b));
        }
        const DuRect frame = m_session.Frame();
        setFixedSize(m_units.X(frame.cx), m_units.Y(frame.cy) + grown);
    }

    // How much taller than its template a label had to become.
    int Extra(int index, const QRect& base) const {
        if (m_session.Control(index).kind != ControlKind::Label) return 0;
        return std::max(0, m_widgets[std::size_t(index)]->height() - base.height());
    }

    DialogSession& m_session;
    DialogUnits m_units;
    std::vector<QWidget*> m_widgets;
};

class QtModuleBackend final : public Backend {
public:
    std::string_view Name() const override { return "qt"; }

    int ShowMessageBox(const std::string& caption, const std::string& text, UINT style) override {
        try {
            if (!ApplicationReady()) return kBoxNotShown;
            QMessageBox::Icon icon = QMessageBox::NoIcon;
            switch (style & 0xF0) {
                case 0x10:
                    icon = QMessageBox::Critical;
                    break;
                case 0x20:
                    icon = QMessageBox::Question;
                    break;
                case 0x30:
                    icon = QMessageBox::Warning;
                    break;
                case 0x40:
                    icon = QMessageBox::Information;
                    break;
                default:
                    break;
            }
            QMessageBox box(icon, Text(caption), Text(text), QMessageBox::Ok,
                            QApplication::activeModalWidget());
            box.setObjectName(QStringLiteral("ostrel_message_box"));
            box.setTextFormat(Qt::PlainText);
            box.exec();
            return IDOK;
        } catch (...) {
            return kBoxNotShown;
        }
    }

    void ShowNotice(const std::string& caption, const std::string& text) override {
        try {
            if (!ApplicationReady()) {
                Backend::ShowNotice(caption, text);
                return;
            }
            // A box without buttons that stays while the program waits; the
            // program takes it away.
            m_notice = std::make_unique<QMessageBox>(QMessageBox::Information, Text(caption),
                                                     Text(text), QMessageBox::NoButton,
                                                     QApplication::activeModalWidget());
            m_notice->setObjectName(QStringLiteral("ostrel_notice"));
            m_notice->setTextFormat(Qt::PlainText);
            m_notice->setModal(false);
            m_notice->show();
            QApplication::processEvents();
        } catch (...) {
        }
    }

    void EndNotice() override {
        try {
            m_notice.reset();
            if (QCoreApplication::instance() != nullptr) QApplication::processEvents();
        } catch (...) {
        }
    }

    std::intptr_t RunDialog(DialogSession& session) override {
        try {
            if (!ApplicationReady()) return kDialogNotShown;
            QtDialog dialog(session, QApplication::activeModalWidget());
            // The dialog goes only when the program ends it; should Qt close
            // it some other way, it is shown again, and in the end cancelled.
            for (int attempt = 0; attempt < 3 && !session.Ended(); ++attempt) dialog.exec();
            if (!session.Ended()) session.UserPress(UserKey::Escape);
            return session.Ended() ? session.Result() : kDialogNotShown;
        } catch (...) {
            return session.Ended() ? session.Result() : kDialogNotShown;
        }
    }

private:
    std::unique_ptr<QMessageBox> m_notice;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) platform::ui::Backend* ostrel_ui_backend(
    int version) {
    if (version != platform::ui::kDialogViewVersion) return nullptr;
    static QtModuleBackend backend;
    return &backend;
}

extern "C" __attribute__((visibility("default"))) const char* ostrel_ui_qt_version() {
    return qVersion();
}
