#include "config/JobEditor.h"

#include "config/FrmSelect.h"
#include "config/FtpSubPage.h"
#include "config/Heading.h"
#include "config/LocalSubPage.h"
#include "config/Program.h"
#include "config/Prompter.h"
#include "config/SftpSubPage.h"
#include "shared/Clock.h"
#include "shared/Exception.h"
#include "shared/ExcludePatterns.h"
#include "shared/JobRules.h"
#include "shared/JobTable.h"
#include "shared/mlb2.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace norvex::config {

namespace {

const QString kSelectCaption = QStringLiteral("バックアップ対象フォルダ、ファイル選択．．．");

// A flag reads as ticked unless it is "0"; texts the readers understand keep their meaning.
bool flagTicked(const QString &text)
{
    try {
        return shared::isOn(text);
    } catch (const shared::EConvertError &) {
        return text != QLatin1String("0");
    }
}

void selectByValue(QComboBox *box, const QString &value)
{
    const int index = box->findData(value);
    if (index >= 0)
        box->setCurrentIndex(index);
}

QLabel *captionFor(const QString &text, QWidget *input, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setBuddy(input);
    return label;
}

} // namespace

TJobEditor::TJobEditor(Program &program, bool change, QWidget *parent)
    : TPage(parent), m_program(program), m_change(change)
{
    setObjectName(change ? QStringLiteral("TabEditBackUp") : QStringLiteral("TabAddBackUp"));
    buildInputs();
    // The add page's inputs are reset by its first show, not here.
    m_format->button(0)->setChecked(true);
    applyArchiveRule();
    setFirstSelection(true);
}

QString TJobEditor::name(const char *base) const
{
    return componentName(QString::fromLatin1(base), m_change);
}

template <class W>
W *TJobEditor::named(W *widget, const char *base)
{
    widget->setObjectName(name(base));
    return widget;
}

void TJobEditor::buildInputs()
{
    auto *page = new QVBoxLayout(this);
    page->setSpacing(6);
    page->addWidget(pageHeading(m_change ? QStringLiteral("バックアップ設定変更")
                                         : QStringLiteral("バックアップ設定追加"),
                                this));

    m_name = named(new QLineEdit(this), "EdtBackUpName");
    m_name->setMaxLength(32);
    auto *nameRow = new QHBoxLayout;
    nameRow->addWidget(captionFor(QStringLiteral("■バックアップ名称"), m_name, this));
    nameRow->addWidget(m_name, 1);
    page->addLayout(nameRow);

    auto *selectRow = new QHBoxLayout;
    if (!m_change) {
        m_selectFirst = named(new QPushButton(kSelectCaption, this), "BotSelect1");
        selectRow->addWidget(m_selectFirst);
        connect(m_selectFirst, &QPushButton::clicked, this, [this] {
            if (m_select)
                m_select->openModal();
        });
    }
    m_selectAgain = named(new QPushButton(kSelectCaption, this), "BotSelect2");
    selectRow->addWidget(m_selectAgain);
    selectRow->addStretch(1);
    connect(m_selectAgain, &QPushButton::clicked, this, [this] {
        if (m_select)
            m_select->openModeless(sourceList());
    });
    page->addLayout(selectRow);

    m_sources = named(new QListWidget(this), "MemBackUpList");
    m_sources->setAccessibleName(QStringLiteral("バックアップ対象フォルダ、ファイル"));
    m_sources->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_sources->setSelectionMode(QAbstractItemView::NoSelection);
    m_sources->setFixedHeight(80);
    page->addWidget(m_sources);

    // Caption and hint beside the input, so that the page keeps its height.
    m_excludes = named(new QPlainTextEdit(this), "MemExclude");
    m_excludes->setTabChangesFocus(true);
    m_excludes->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_excludes->setFixedHeight(52);
    auto *excludeCaption = new QVBoxLayout;
    excludeCaption->addWidget(
        captionFor(QStringLiteral("除外するファイル、フォルダ"), m_excludes, this));
    excludeCaption->addWidget(
        new QLabel(QStringLiteral("1 行に 1 つ（例: node_modules/　*.tmp）"), this));
    excludeCaption->addStretch(1);
    auto *excludeRow = new QHBoxLayout;
    excludeRow->addLayout(excludeCaption);
    excludeRow->addWidget(m_excludes, 1);
    page->addLayout(excludeRow);

    page->addWidget(buildDestination());
    page->addWidget(buildInterval());
    page->addWidget(buildOptions());
    page->addStretch(1);
    page->addWidget(buildButtons());
}

QWidget *TJobEditor::buildDestination()
{
    auto *box = new QWidget(this);
    auto *layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    m_kind = named(new QComboBox(box), "CmbToBackUp");
    m_kind->addItem(QStringLiteral("SFTPサーバへバックアップ"), QStringLiteral("SFTP"));
    m_kind->addItem(QStringLiteral("FTPサーバへバックアップ"), QStringLiteral("FTP"));
    m_kind->addItem(QStringLiteral("ローカルハードディスクへバックアップ"),
                    QStringLiteral("Local"));
    auto *row = new QHBoxLayout;
    row->addWidget(captionFor(QStringLiteral("■バックアップ先"), m_kind, box));
    row->addWidget(m_kind);
    row->addStretch(1);
    layout->addLayout(row);

    m_kindPages = new QStackedWidget(box);
    m_kindPages->setFrameShape(QFrame::StyledPanel);
    m_subPages[Sftp] = new TSftpSubPage(m_program, m_change, m_kindPages);
    m_subPages[Ftp] = new TFtpSubPage(m_program, m_change, m_kindPages);
    m_subPages[Local] = new TLocalSubPage(m_program, m_change, m_kindPages);
    for (TDestinationSubPage *sub : m_subPages)
        m_kindPages->addWidget(sub);
    layout->addWidget(m_kindPages);
    connect(m_kind, &QComboBox::currentIndexChanged, m_kindPages, &QStackedWidget::setCurrentIndex);
    return box;
}

QWidget *TJobEditor::buildInterval()
{
    auto *box = new QWidget(this);
    auto *row = new QHBoxLayout(box);
    row->setContentsMargins(0, 0, 0, 0);
    m_interval = named(new QSpinBox(box), "SpnIntVal");
    m_interval->setRange(1, 23);
    m_interval->setValue(1);
    m_unit = named(new QComboBox(box), "CmbTani");
    m_unit->addItem(QStringLiteral("時間"), QStringLiteral("h"));
    m_unit->addItem(QStringLiteral("日"), QStringLiteral("d"));
    m_unit->setCurrentIndex(1);
    m_unit->setAccessibleName(QStringLiteral("バックアップ間隔の単位"));
    m_startDate = named(new QLineEdit(box), "EdtBackUpDT");
    m_startDate->setReadOnly(true);
    m_startDate->setFixedWidth(90);
    m_startTime = named(new QDateTimeEdit(box), "PicTime");
    m_startTime->setDisplayFormat(QStringLiteral("HH:mm:ss"));
    m_startTime->setAccessibleName(QStringLiteral("バックアップ取得開始時刻"));

    row->addWidget(captionFor(QStringLiteral("■バックアップ間隔"), m_interval, box));
    row->addWidget(m_interval);
    row->addWidget(m_unit);
    row->addWidget(new QLabel(QStringLiteral("毎に取得"), box));
    row->addSpacing(24);
    row->addWidget(captionFor(QStringLiteral("バックアップ取得開始時間"), m_startDate, box));
    row->addWidget(m_startDate);
    row->addWidget(m_startTime);
    row->addStretch(1);

    connect(m_interval, &QSpinBox::valueChanged, this, &TJobEditor::applyStartTimeRule);
    connect(m_unit, &QComboBox::currentIndexChanged, this, &TJobEditor::applyStartTimeRule);
    return box;
}

QWidget *TJobEditor::buildOptions()
{
    auto *frame = new QGroupBox(QStringLiteral("オプション"), this);
    auto *grid = new QGridLayout(frame);
    // Each option's input and caption follow its check box; unticking keeps the content.
    auto option = [&](int row, QCheckBox *check, const QString &caption, QWidget *input) {
        QLabel *label = captionFor(caption, input, frame);
        grid->addWidget(check, row, 0);
        grid->addWidget(label, row, 1);
        grid->addWidget(input, row, 2);
        for (QWidget *w : {static_cast<QWidget *>(label), input}) {
            w->setEnabled(false);
            connect(check, &QCheckBox::toggled, w, &QWidget::setEnabled);
        }
    };
    m_createFolder = named(new QCheckBox(QStringLiteral("バックアップ先にフォルダ作成"), frame),
                           "ChkCreateFolder");
    m_folderName = named(new QLineEdit(frame), "EdtCreateFolder");
    option(0, m_createFolder, QStringLiteral("フォルダ名"), m_folderName);
    m_arcPassOn =
        named(new QCheckBox(QStringLiteral("圧縮時にパスワードを設定する"), frame), "ChkArcPass");
    m_arcPass = named(new QLineEdit(frame), "EdtArcPass");
    m_arcPass->setEchoMode(QLineEdit::Password);
    option(1, m_arcPassOn, QStringLiteral("パスワード"), m_arcPass);
    m_sedaiOn = named(new QCheckBox(QStringLiteral("世代管理する"), frame), "ChkSedai");
    m_sedaiNum = named(new QSpinBox(frame), "SpnSedaiNum");
    m_sedaiNum->setRange(2, 7);
    option(2, m_sedaiOn, QStringLiteral("世代数"), m_sedaiNum);
    grid->setColumnStretch(2, 1);

    auto *format = named(new QGroupBox(QStringLiteral("圧縮方式"), frame), "RdoArchive");
    auto *formatRow = new QHBoxLayout(format);
    m_format = new QButtonGroup(format);
    auto *zip = named(new QRadioButton(QStringLiteral("ZIP形式"), format), "RdoArchiveZip");
    auto *sevenZip = named(new QRadioButton(QStringLiteral("7Z形式"), format), "RdoArchive7z");
    m_format->addButton(zip, 0);
    m_format->addButton(sevenZip, 1);
    formatRow->addWidget(zip);
    formatRow->addWidget(sevenZip);
    formatRow->addStretch(1);
    grid->addWidget(format, 3, 0, 1, 3);
    connect(m_format, &QButtonGroup::idToggled, this, [this](int, bool checked) {
        if (checked)
            applyArchiveRule();
    });
    return frame;
}

QWidget *TJobEditor::buildButtons()
{
    auto *box = new QWidget(this);
    auto *row = new QHBoxLayout(box);
    row->setContentsMargins(0, 0, 0, 0);
    m_ok = named(new QPushButton(QStringLiteral("OK"), box), "BotOk");
    m_ok->setDefault(true);
    auto *cancel = named(new QPushButton(QStringLiteral("キャンセル"), box), "BotCancel");
    row->addStretch(1);
    row->addWidget(m_ok);
    row->addWidget(cancel);

    connect(m_ok, &QPushButton::clicked, this, &TJobEditor::BotOkClick);
    connect(cancel, &QPushButton::clicked, this, [this] { m_program.backToList(); });
    bindOkCancelKeys(m_ok, cancel);
    return box;
}

void TJobEditor::showAction()
{
    if (m_change)
        loadJob();
    else
        resetAddPage();
}

void TJobEditor::resetAddPage()
{
    m_name->clear();
    setFirstSelection(true);
    setSourceList({});
    m_excludes->clear();
    m_kind->setCurrentIndex(Sftp);
    for (TDestinationSubPage *sub : m_subPages)
        sub->reset();
    m_createFolder->setChecked(false);
    m_folderName->clear();
    m_arcPassOn->setChecked(false);
    m_arcPass->clear();
    m_sedaiOn->setChecked(false);
    m_sedaiNum->setValue(2);
    m_format->button(0)->setChecked(true);
    applyArchiveRule();
    applyStartTimeRule();
    m_kindPages->setCurrentIndex(Sftp);
    m_ok->setEnabled(true);
}

void TJobEditor::loadJob()
{
    shared::TMlb2 &job = m_program.jobTable();
    const int number = m_program.editedJobNumber();
    // Nothing half-loaded may be saved over a job: OK waits for a complete load.
    m_ok->setEnabled(false);
    m_loadedNumber = number;
    m_loadedName.clear();
    m_loadedStart = QDateTime();
    if (!job.GoToRecord(number)) {
        m_program.prompter().message(QStringLiteral("変更するバックアップ設定が見つかりません。"),
                                     Prompter::Kind::Error);
        return;
    }
    try {
        m_loadedName = job.FieldByName(QStringLiteral("backupname"));
        m_name->setText(m_loadedName);
        setSourceList(shared::decodeSourceList(job.FieldByName(QStringLiteral("backuplist"))));
        m_excludes->setPlainText(
            shared::decodeExcludes(job.FieldByName(QLatin1String(shared::ExcludeField)))
                .join(QLatin1Char('\n')));
        // A value no choice holds shows the first choice, not the previous job's.
        m_kind->setCurrentIndex(Sftp);
        selectByValue(m_kind, job.FieldByName(QStringLiteral("tobackup")));
        m_kindPages->setCurrentIndex(m_kind->currentIndex());
        for (TDestinationSubPage *sub : m_subPages)
            sub->reset();
        m_subPages[m_kind->currentIndex()]->load(job);
        m_interval->setValue(shared::readInteger(QStringLiteral("backupint"),
                                                 job.FieldByName(QStringLiteral("backupint"))));
        selectByValue(m_unit, job.FieldByName(QStringLiteral("backuptani")));
        // The stored next run time stands until the user changes the interval.
        const QString backupdt = job.FieldByName(QStringLiteral("backupdt"));
        m_startDate->setText(backupdt.left(10));
        m_startTime->setDateTime(shared::readDateTime(backupdt));
        m_loadedStart = m_startTime->dateTime();
        m_createFolder->setChecked(flagTicked(job.FieldByName(QStringLiteral("op1"))));
        m_folderName->setText(job.FieldByName(QStringLiteral("op1val")));
        m_arcPassOn->setChecked(flagTicked(job.FieldByName(QStringLiteral("op2"))));
        m_arcPass->setText(job.FieldByName(QStringLiteral("op2val")));
        m_sedaiOn->setChecked(flagTicked(job.FieldByName(QStringLiteral("op3"))));
        m_sedaiNum->setValue(shared::readInteger(QStringLiteral("op3val"),
                                                 job.FieldByName(QStringLiteral("op3val"))));
        const bool sevenZip = job.FieldByName(QStringLiteral("op4")) == QLatin1String("1");
        m_format->button(sevenZip ? 1 : 0)->setChecked(true);
        applyArchiveRule();
        m_ok->setEnabled(true);
    } catch (const shared::Exception &e) {
        m_program.prompter().message(e.message(), Prompter::Kind::Error);
    }
}

void TJobEditor::focusName()
{
    m_name->setFocus();
}

QStringList TJobEditor::sourceList() const
{
    QStringList paths;
    for (int i = 0; i < m_sources->count(); ++i)
        paths << m_sources->item(i)->text();
    return paths;
}

void TJobEditor::setSourceList(const QStringList &paths)
{
    m_sources->clear();
    m_sources->addItems(paths);
}

void TJobEditor::acceptSelection(const QStringList &paths)
{
    setSourceList(paths);
    if (!m_change)
        setFirstSelection(false);
}

void TJobEditor::setFirstSelection(bool first)
{
    if (m_selectFirst)
        m_selectFirst->setVisible(first);
    m_selectAgain->setVisible(!first || m_change);
}

void TJobEditor::applyArchiveRule()
{
    // A ZIP archive carries no password here, so a stored job never has one with ZIP.
    if (m_format->checkedId() == 1) {
        m_arcPassOn->setEnabled(true);
        return;
    }
    m_arcPassOn->setChecked(false);
    m_arcPassOn->setEnabled(false);
    m_arcPass->clear();
}

void TJobEditor::applyStartTimeRule()
{
    const QDateTime start = shared::defaultStartTime(m_program.clock().now(), m_interval->value(),
                                                     m_unit->currentData().toString());
    m_startDate->setText(start.date().toString(QStringLiteral("yyyy/MM/dd")));
    m_startTime->setDateTime(start);
}

} // namespace norvex::config
