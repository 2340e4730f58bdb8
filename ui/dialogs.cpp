#include "ui/dialogs.h"

#include <QComboBox>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QStyle>
#include <QUrl>
#include <QVBoxLayout>

#include "app/core/core.h"
#include "app/core/version.h"
#include "app/monitor/add_remove_programs.h"
#include "ui/program_icon.h"
#include "app/monitor/program_monitor.h"
#include "ui/log_viewer.h"
#include "ui/page_models.h"
#include "ui/qt_text.h"

namespace zelmar {

QDialogButtonBox* AddOkButtons(QDialog* dialog, QBoxLayout* layout, bool withCancel) {
    auto* buttons = new QDialogButtonBox;
    QPushButton* ok = buttons->addButton("OK", QDialogButtonBox::AcceptRole);
    if (withCancel) buttons->addButton("&Cancel", QDialogButtonBox::RejectRole)->setAutoDefault(false);
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    layout->addWidget(buttons);
    // Only once the row is inside the dialog does the dialog learn which
    // button is its default.
    ok->setDefault(true);
    return buttons;
}

namespace {

std::vector<std::size_t> SelectedRows(QListWidget* list) {
    std::vector<std::size_t> rows;
    for (QListWidgetItem* item : list->selectedItems()) rows.push_back(static_cast<std::size_t>(list->row(item)));
    return rows;
}
}  // namespace

// --- link label ---

CLinkLabel::CLinkLabel(const QString& address, QWidget* parent) : QLabel(address, parent), address_(address) {
    QFont f = font();
    f.setUnderline(true);
    setFont(f);
    setCursor(Qt::PointingHandCursor);
    setToolTip(address);
    setFocusPolicy(Qt::StrongFocus);
    setAccessibleName(address);
    UpdateColour();
}

void CLinkLabel::UpdateColour() {
    QPalette p = palette();
    p.setColor(QPalette::WindowText, visited_ ? QColor(85, 26, 139) : QColor(0, 0, 238));
    setPalette(p);
}

void CLinkLabel::Follow() {
    if (QDesktopServices::openUrl(QUrl(address_))) {
        visited_ = true;
        UpdateColour();
        update();
        return;
    }
    // No program is registered for web addresses.
    QMessageBox::warning(this, "Zelmar", OpenFailureText(address_));
}

void CLinkLabel::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) Follow();
    QLabel::mouseReleaseEvent(event);
}

void CLinkLabel::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Space || event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        Follow();
        return;
    }
    QLabel::keyPressEvent(event);
}

// --- Add/Remove Programs ---

CAddRemoveProgramsDlg::CAddRemoveProgramsDlg(Core& core, QWidget* parent)
    : QDialog(parent), model_(std::make_unique<AddRemoveProgramsModel>(core, *MonitorDesktop())) {
    setWindowTitle("Add/Remove Programs");
    unmonitored = new QListWidget;
    monitored = new QListWidget;
    for (QListWidget* l : {unmonitored, monitored}) l->setSelectionMode(QAbstractItemView::ExtendedSelection);
    unmonitored->setAccessibleName("Programs Unmonitored");
    monitored->setAccessibleName("Programs Monitored");
    // Words with the style's arrows, in the reading direction of the desktop.
    add = new QPushButton(style()->standardIcon(QStyle::SP_ArrowForward), "&Add");
    addAll = new QPushButton(style()->standardIcon(QStyle::SP_MediaSeekForward), "Add A&ll");
    remove = new QPushButton(style()->standardIcon(QStyle::SP_ArrowBack), "&Remove");
    removeAll = new QPushButton(style()->standardIcon(QStyle::SP_MediaSeekBackward), "Re&move All");
    add->setAccessibleName("Monitor the selected programs");
    addAll->setAccessibleName("Monitor all programs");
    remove->setAccessibleName("Stop monitoring the selected programs");
    removeAll->setAccessibleName("Stop monitoring all programs");
    // Present in the dialog but never offered.
    auto* del = new QPushButton("&Delete");
    auto* delAll = new QPushButton("Delete &All");
    for (QPushButton* b : {del, delAll}) {
        b->setEnabled(false);
        b->hide();
    }
    indicators = new QComboBox;

    auto* grid = new QGridLayout;
    auto* leftLabel = new QLabel("Programs &Unmonitored");
    leftLabel->setBuddy(unmonitored);
    auto* rightLabel = new QLabel("Programs M&onitored");
    rightLabel->setBuddy(monitored);
    grid->addWidget(leftLabel, 0, 0);
    grid->addWidget(rightLabel, 0, 2);
    grid->addWidget(unmonitored, 1, 0);
    auto* moves = new QVBoxLayout;
    moves->addStretch();
    for (QPushButton* b : {add, addAll, remove, removeAll, del, delAll}) moves->addWidget(b);
    moves->addStretch();
    grid->addLayout(moves, 1, 1);
    grid->addWidget(monitored, 1, 2);

    auto* indicatorRow = new QFormLayout;
    auto* indicatorLabel = new QLabel("Status &Indicator");
    indicatorLabel->setBuddy(indicators);
    indicatorRow->addRow(indicatorLabel, indicators);
    auto* note = new QLabel("Programs must be running to add them to list");

    auto* outer = new QVBoxLayout(this);
    outer->addLayout(grid, 1);
    outer->addLayout(indicatorRow);
    outer->addWidget(note);
    AddOkButtons(this, outer);

    for (const std::string& pair : model_->pairs()) indicators->addItem(Q(pair));
    indicators->setCurrentIndex(model_->selectedPair());
    connect(indicators, &QComboBox::activated, this,
            [this](int row) { model_->ChoosePair(static_cast<std::size_t>(row)); });
    connect(add, &QPushButton::clicked, this, [this] {
        model_->MoveToMonitored(SelectedRows(unmonitored));
        Show();
    });
    connect(addAll, &QPushButton::clicked, this, [this] {
        model_->MoveAllToMonitored();
        Show();
    });
    connect(remove, &QPushButton::clicked, this, [this] {
        model_->MoveToUnmonitored(SelectedRows(monitored));
        Show();
    });
    connect(removeAll, &QPushButton::clicked, this, [this] {
        model_->MoveAllToUnmonitored();
        Show();
    });
    Show();
}

CAddRemoveProgramsDlg::~CAddRemoveProgramsDlg() = default;

void CAddRemoveProgramsDlg::Show() {
    unmonitored->clear();
    monitored->clear();
    for (const std::string& t : model_->unmonitored()) unmonitored->addItem(Q(t));
    for (const std::string& t : model_->monitored()) monitored->addItem(Q(t));
    add->setEnabled(model_->CanMoveToMonitored());
    addAll->setEnabled(model_->CanMoveToMonitored());
    remove->setEnabled(model_->CanMoveToUnmonitored());
    removeAll->setEnabled(model_->CanMoveToUnmonitored());
}

void CAddRemoveProgramsDlg::accept() {
    model_->Ok();
    QDialog::accept();
}

// --- SMTP Authentication ---

CSmtpAuthDlg::CSmtpAuthDlg(Core& core, QWidget* parent) : QDialog(parent), core_(core) {
    setWindowTitle("SMTP Authentication");
    SmtpAuthModel model(core);
    account = new QLineEdit(Q(model.account));
    password = new QLineEdit(Q(model.password));
    password->setEchoMode(QLineEdit::Password);
    for (QLineEdit* e : {account, password}) e->setMaxLength(kSmtpAuthMaxChars);
    auto* group = new QGroupBox("Logon Information");
    auto* form = new QFormLayout(group);
    auto* accountLabel = new QLabel("&Account Name");
    accountLabel->setBuddy(account);
    auto* passwordLabel = new QLabel("&Password");
    passwordLabel->setBuddy(password);
    form->addRow(accountLabel, account);
    form->addRow(passwordLabel, password);
    auto* outer = new QVBoxLayout(this);
    outer->addWidget(group);
    AddOkButtons(this, outer);
    setMinimumWidth(fontMetrics().horizontalAdvance('x') * 50);
}

void CSmtpAuthDlg::accept() {
    SmtpAuthModel model(core_);
    model.account = account->text().toStdString();
    model.password = password->text().toStdString();
    std::string error;
    if (!model.Ok(error)) {
        QMessageBox::warning(this, "SMTP Authentication", QString::fromStdString(error));
        return;
    }
    QDialog::accept();
}

// --- About ---

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle("About Zelmar");
    auto* picture = new QLabel;
    picture->setPixmap(ProgramIcon(true).pixmap(64, 64));
    auto* line1 = new QLabel("Zelmar keeps others informed of this computer's Internet address.");
    // The build's own word size: a 64-bit build does not call itself 32-bit.
    auto* line2 = new QLabel(QString("Zelmar Version %1 (%2-bit)").arg(kProductVersion).arg(sizeof(void*) * 8));
    link = new CLinkLabel(kProductWebSite);
    auto* text = new QVBoxLayout;
    text->addWidget(line1);
    text->addWidget(line2);
    text->addWidget(link);
    auto* row = new QHBoxLayout;
    row->addWidget(picture, 0, Qt::AlignTop);
    row->addLayout(text, 1);
    auto* outer = new QVBoxLayout(this);
    outer->addLayout(row);
    AddOkButtons(this, outer, false);
}

// --- Shutdown In Progress ---

CShutdownWindow::CShutdownWindow(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Zelmar Shutdown In Progress");
    setModal(false);
    auto* icon = new QLabel;
    icon->setPixmap(ProgramIcon(true).pixmap(32, 32));
    auto* row = new QHBoxLayout(this);
    row->addWidget(icon);
    row->addWidget(new QLabel("Please wait while Zelmar contacts remote server."), 1);
}

}  // namespace zelmar
