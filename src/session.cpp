#include "session.h"

#include "chromedialog.h"
#include "credentialstore.h"
#include "journal.h"
#include "onscreenkeyboard.h"
#include "panelsnapshot.h"
#include "passwordprompt.h"
#include "remoteview.h"
#include "rfbclient.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QCryptographicHash>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <iterator>

namespace {

// Zoom selector items and the factors they pass to the view (0 = fit).
constexpr double zoomFactors[] = {0.0, 1.0, 1.25, 1.5, 2.0};

RfbClient::Encryption clientEncryption(PanelProfile::Encryption encryption)
{
    switch (encryption) {
    case PanelProfile::Encryption::Off:
        break;
    case PanelProfile::Encryption::Preferred:
        return RfbClient::Encryption::Preferred;
    case PanelProfile::Encryption::Required:
        return RfbClient::Encryption::Required;
    }
    return RfbClient::Encryption::Off;
}

// A padlock drawn for the header, closed or with its shackle open, at the screen's density.
QPixmap lockPixmap(bool closed, const QColor &colour, qreal pixelRatio)
{
    constexpr int side = 16;
    QPixmap pixmap(QSize(side, side) * pixelRatio);
    pixmap.setDevicePixelRatio(pixelRatio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(colour, 1.8, Qt::SolidLine, Qt::RoundCap));
    painter.setBrush(Qt::NoBrush);
    // The shackle: a closed one enters the body with both legs; an open one is lifted, its
    // left leg free above the body.
    QPainterPath shackle;
    const qreal top = closed ? 2.0 : 0.5;
    shackle.moveTo(4.5, closed ? 8.0 : 5.0);
    shackle.arcTo(QRectF(4.5, top, 7.0, 7.0), 180.0, -180.0);
    shackle.lineTo(11.5, 8.0);
    painter.drawPath(shackle);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    painter.drawRoundedRect(QRectF(2.5, 7.5, 11.0, 8.0), 1.6, 1.6);
    // The keyhole, cut out of the body.
    painter.setCompositionMode(QPainter::CompositionMode_Clear);
    painter.drawEllipse(QPointF(8.0, 10.8), 1.3, 1.3);
    painter.drawRect(QRectF(7.4, 11.0, 1.2, 2.6));
    return pixmap;
}

} // namespace

Session::Session(const PanelProfile &profile, QWidget *parent)
    : QWidget(parent), profileCopy(profile), clock(&QDateTime::currentDateTime)
{
    setObjectName(QStringLiteral("session"));
    setAttribute(Qt::WA_StyledBackground);
    setMinimumSize(280, 220);
    // Assistive technology tells the open panels apart by this name.
    setAccessibleName(tr("Сеанс · %1").arg(profile.name));

    client = new RfbClient(this);
    view = new RemoteView(client);

    reconnectTimer = new QTimer(this);
    reconnectTimer->setObjectName(QStringLiteral("reconnectTimer"));
    reconnectTimer->setSingleShot(true);

    frameAgeTimer = new QTimer(this);
    frameAgeTimer->setObjectName(QStringLiteral("frameAgeTimer"));
    frameAgeTimer->setInterval(1000);

    buildHeader();
    view->setViewOnly(profileCopy.viewOnly);

    connect(client, &RfbClient::status, statusLabel, &QLabel::setText);
    connect(client, &RfbClient::connected, this, &Session::onConnected);
    connect(client, &RfbClient::ended, this, &Session::onEnded);
    connect(client, &RfbClient::frameChanged, this, &Session::onFrameChanged);
    connect(client, &RfbClient::certificateUnknown, this, &Session::onCertificateUnknown);
    connect(view, &RemoteView::activationRequested, this, &Session::activationRequested);
    connect(reconnectTimer, &QTimer::timeout, this, &Session::onReconnectTimeout);
    connect(frameAgeTimer, &QTimer::timeout, this, &Session::refreshFrameAge);

    frameAgeTimer->start();
}

Session::~Session()
{
    reconnectTimer->stop();
    // Release held keys and buttons while the connection still exists.
    view->releaseAll();
    client->disconnectFromPanel();
    delete view;
    view = nullptr;
    // The profile's password wipes itself when the copy goes.
}

void Session::buildHeader()
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(10, 10, 10, 8);
    column->setSpacing(7);

    auto *headerRow = new QHBoxLayout;
    auto *selectButton = new QPushButton(QStringLiteral("◎"));
    selectButton->setFixedWidth(32);
    selectButton->setToolTip(tr("Выбрать панель для управления"));
    selectButton->setAccessibleName(selectButton->toolTip());
    headerRow->addWidget(selectButton);

    titleLabel = new QLabel(profileCopy.name);
    titleLabel->setTextFormat(Qt::PlainText);
    titleLabel->setObjectName(QStringLiteral("sessionTitle"));
    // A long name must never widen the session.
    titleLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    titleLabel->setToolTip(plainToolTip(profileCopy.name));
    headerRow->addWidget(titleLabel, 1);

    // Shown while the session runs inside TLS: a closed lock when the panel's certificate was
    // checked, an open one with words when nobody's identity was.
    encryptionBadge = new QWidget;
    encryptionBadge->setObjectName(QStringLiteral("encryptionBadge"));
    auto *badgeRow = new QHBoxLayout(encryptionBadge);
    badgeRow->setContentsMargins(0, 0, 0, 0);
    badgeRow->setSpacing(4);
    lockIcon = new QLabel;
    lockIcon->setObjectName(QStringLiteral("lockIcon"));
    badgeRow->addWidget(lockIcon);
    encryptionNote = new QLabel(tr("без проверки подлинности"));
    encryptionNote->setTextFormat(Qt::PlainText);
    encryptionNote->setObjectName(QStringLiteral("encryptionNote"));
    badgeRow->addWidget(encryptionNote);
    encryptionBadge->hide();
    headerRow->addWidget(encryptionBadge);

    viewOnlyBox = new QCheckBox(tr("Только просмотр"));
    viewOnlyBox->setObjectName(QStringLiteral("viewOnly"));
    viewOnlyBox->setAccessibleName(viewOnlyBox->text());
    viewOnlyBox->setChecked(profileCopy.viewOnly);
    headerRow->addWidget(viewOnlyBox);

    auto *expandButton = new QPushButton(QStringLiteral("⤢"));
    expandButton->setFixedWidth(32);
    expandButton->setToolTip(tr("Развернуть панель / вернуться к раскладке"));
    expandButton->setAccessibleName(expandButton->toolTip());
    headerRow->addWidget(expandButton);

    auto *closeButton = new QPushButton(QStringLiteral("×"));
    closeButton->setFixedWidth(32);
    closeButton->setToolTip(tr("Закрыть сеанс"));
    closeButton->setAccessibleName(closeButton->toolTip());
    headerRow->addWidget(closeButton);
    column->addLayout(headerRow);

    // Filled in one pass: a host may itself contain "%2" (an IPv6 scope id).
    addressLabel = new QLabel(
        QStringLiteral("%1 : %2").arg(profileCopy.host, QString::number(profileCopy.port)));
    addressLabel->setTextFormat(Qt::PlainText);
    addressLabel->setObjectName(QStringLiteral("muted"));
    column->addWidget(addressLabel);

    auto *controlRow = new QHBoxLayout;
    controlRow->setSpacing(5);
    connectButton = new QPushButton(tr("Подключить"));
    connectButton->setObjectName(QStringLiteral("primary"));
    connectButton->setToolTip(tr("Подключиться к панели"));
    connectButton->setAccessibleName(connectButton->text());
    controlRow->addWidget(connectButton);

    disconnectButton = new QPushButton(tr("Отключить"));
    disconnectButton->setToolTip(tr("Отключиться от панели"));
    disconnectButton->setAccessibleName(disconnectButton->text());
    disconnectButton->setEnabled(false);
    controlRow->addWidget(disconnectButton);

    zoomSelector = new QComboBox;
    zoomSelector->setObjectName(QStringLiteral("sessionZoom"));
    zoomSelector->addItems({tr("По размеру"), tr("100%"), tr("125%"), tr("150%"), tr("200%")});
    zoomSelector->setCurrentIndex(0);
    zoomSelector->setAccessibleName(tr("Масштаб"));
    controlRow->addWidget(zoomSelector, 1);

    auto *toolsButton = new QPushButton(QStringLiteral("•••"));
    toolsButton->setToolTip(tr("Инструменты панели"));
    toolsButton->setFixedWidth(38);
    toolsButton->setAccessibleName(toolsButton->toolTip());
    auto *tools = new QMenu(toolsButton);
    refreshAction = tools->addAction(tr("Обновить экран"));
    snapshotAction = tools->addAction(tr("Сохранить снимок…"));
    keyboardAction = tools->addAction(tr("Экранная клавиатура…"));
    ctrlAltDelAction = tools->addAction(tr("Ctrl + Alt + Del"));
    notesAction = tools->addAction(tr("Заметки о панели…"));
    refreshAction->setEnabled(false);
    snapshotAction->setEnabled(false);
    keyboardAction->setEnabled(false);
    ctrlAltDelAction->setEnabled(false);
    toolsButton->setMenu(tools);
    controlRow->addWidget(toolsButton);
    column->addLayout(controlRow);

    auto *scroll = new QScrollArea;
    scroll->setObjectName(QStringLiteral("remoteScroll"));
    scroll->setWidgetResizable(true);
    scroll->setWidget(view);
    column->addWidget(scroll, 1);

    statusLabel = new QLabel(tr("Готов к подключению"));
    statusLabel->setTextFormat(Qt::PlainText);
    statusLabel->setWordWrap(true);
    statusLabel->setObjectName(QStringLiteral("sessionStatus"));
    statusLabel->setProperty("online", false);
    column->addWidget(statusLabel);

    frameAgeLabel = new QLabel;
    frameAgeLabel->setObjectName(QStringLiteral("muted"));
    frameAgeLabel->setToolTip(tr("Возраст последнего полученного кадра. Статичная картинка сама "
                                 "по себе не означает обрыв связи."));
    column->addWidget(frameAgeLabel);

    connect(selectButton, &QPushButton::clicked, this, &Session::activationRequested);
    connect(expandButton, &QPushButton::clicked, this, &Session::expandRequested);
    connect(closeButton, &QPushButton::clicked, this, &Session::closeRequested);
    connect(connectButton, &QPushButton::clicked, this, &Session::startConnection);
    connect(disconnectButton, &QPushButton::clicked, this, &Session::onDisconnectClicked);
    connect(zoomSelector, &QComboBox::currentIndexChanged, this, &Session::onZoomChanged);
    connect(viewOnlyBox, &QCheckBox::toggled, this, &Session::onViewOnlyToggled);
    connect(refreshAction, &QAction::triggered, client, &RfbClient::requestFullUpdate);
    connect(snapshotAction, &QAction::triggered, this, &Session::onSnapshot);
    connect(keyboardAction, &QAction::triggered, this, &Session::onKeyboard);
    connect(ctrlAltDelAction, &QAction::triggered, this, &Session::onCtrlAltDel);
    connect(notesAction, &QAction::triggered, this, &Session::onNotes);
}

void Session::setClock(std::function<QDateTime()> now)
{
    clock = std::move(now);
}

int Session::retryDelaySeconds(int attemptsMade)
{
    // 3 doubled per attempt already made, never more than 30; the shift is
    // bounded so a large count cannot overflow.
    return std::min(3 << std::clamp(attemptsMade, 0, 4), 30);
}

QString Session::frameAgeText(const QSize &size, const QDateTime &last, const QDateTime &now)
{
    const qint64 age = std::max<qint64>(0, last.secsTo(now));
    return tr("%1 × %2 · кадр %3 с назад")
        .arg(QString::number(size.width()), QString::number(size.height()), QString::number(age));
}

QString Session::retryStatusText(const QString &reason, int attempt, int delaySeconds)
{
    // One arg() call: a reason that itself contains "%1" must come through unchanged.
    return tr("%1 · Повтор %2/%3 через %4 с")
        .arg(reason, QString::number(attempt), QString::number(maxRetries),
            QString::number(delaySeconds));
}

QString Session::shownReason(const QString &reason)
{
    if (reason.size() <= maxShownReasonLength)
        return reason;
    qsizetype keep = maxShownReasonLength - 1;
    // Never keep half of a surrogate pair at the cut.
    if (reason.at(keep - 1).isHighSurrogate())
        --keep;
    return reason.left(keep) + QChar(0x2026);
}

void Session::startConnection()
{
    if (engaged)
        return;
    QPointer<Session> self(this);
    const bool resolved = resolvePassword();
    // The prompt runs its own event loop, during which the session may close.
    if (!self || !resolved)
        return;

    reconnectTimer->stop();
    engaged = true;
    disconnectedByUser = false;
    automaticAttempt = false;
    retryCount = 0;
    connectButton->setEnabled(false);
    disconnectButton->setEnabled(true);
    emit journal(tr("Начало подключения"));
    connectClient();
}

void Session::connectClient()
{
    // The client takes the password as text and keeps only its bytes; the
    // text copy made for it is wiped as soon as the call returns.
    QString password = profileCopy.password.toQString();
    client->setCompression(profileCopy.compression);
    client->setEncryption(clientEncryption(profileCopy.encryption));
    client->setUserName(profileCopy.userName);
    client->setTrustedCertificate(profileCopy.trustedCertificate());
    client->connectToPanel(profileCopy.host, quint16(profileCopy.port), password);
    Password::wipe(password);
}

bool Session::resolvePassword()
{
    if (profileCopy.remember) {
        CredentialStore::ReadResult read = CredentialStore::ReadResult::NotStored;
        profileCopy.password = Password::take(CredentialStore::readPassword(profileCopy.id, &read));
        // The prompt follows as for a missing password; the journal keeps why.
        if (read == CredentialStore::ReadResult::Failed)
            emit journal(tr("Не удалось прочитать пароль из хранилища Windows"));
    }
    if (userNameWanted) {
        // The panel refused to go on without a user name: ask for it and its password, even
        // when a password is at hand.
        QString userName = profileCopy.userName;
        if (!PasswordPrompt::ask(this, profileCopy, &profileCopy.password, &userName))
            return false;
        profileCopy.userName = userName;
        userNameWanted = false;
        return true;
    }
    if (!profileCopy.password.isEmpty())
        return true;
    return PasswordPrompt::ask(this, profileCopy, &profileCopy.password);
}

void Session::disconnectByUser()
{
    disconnectedByUser = true;
    reconnectTimer->stop();
    view->releaseAll();
    client->disconnectFromPanel();
    forgetAwaitedCertificate();
    updateEncryptionBadge();
    view->update();
    engaged = false;
    statusLabel->setText(tr("Отключено"));
    setOnline(false);
    connectButton->setEnabled(true);
    disconnectButton->setEnabled(false);
    emit titleStatus(false);
    emit journal(tr("Отключено пользователем"));
}

bool Session::isLive() const
{
    return client->isLive();
}

void Session::releaseInput()
{
    view->releaseAll();
}

int Session::zoomIndex() const
{
    return zoomSelector->currentIndex();
}

void Session::setZoomIndex(int index)
{
    if (index >= 0 && index < zoomSelector->count())
        zoomSelector->setCurrentIndex(index);
}

void Session::applyProfile(const PanelProfile &profile)
{
    if (engaged)
        return;
    // The old password is wiped by the assignment.
    profileCopy = profile;
    titleLabel->setText(profileCopy.name);
    titleLabel->setToolTip(plainToolTip(profileCopy.name));
    setAccessibleName(tr("Сеанс · %1").arg(profileCopy.name));
    addressLabel->setText(
        QStringLiteral("%1 : %2").arg(profileCopy.host, QString::number(profileCopy.port)));
    viewOnlyBox->setChecked(profileCopy.viewOnly);
}

void Session::setSelected(bool selected)
{
    view->setActive(selected);
    setProperty("selected", selected);
    repolish(this);
    update();
}

void Session::setCompact(bool compact)
{
    titleLabel->setVisible(!compact);
    addressLabel->setVisible(!compact);
}

QImage Session::renderSnapshot(const QDateTime &at) const
{
    return PanelSnapshot::render(client->framebuffer(), at);
}

void Session::setOnline(bool online)
{
    statusLabel->setProperty("online", online);
    repolish(statusLabel);
}

void Session::repolish(QWidget *widget)
{
    widget->style()->unpolish(widget);
    widget->style()->polish(widget);
    widget->update();
}

void Session::refreshFrameAge()
{
    if (!lastFrameAt.isValid())
        return;
    frameAgeLabel->setText(frameAgeText(client->framebuffer().size(), lastFrameAt, clock()));
}

void Session::onConnected()
{
    // A panel that no longer asks for the password it was given may be something else
    // answering at its address, which would then receive the operator's input. Only a
    // password handed to the client counts: "remember" with nothing stored and an empty
    // answer to the prompt is a panel without a password, as the operator said.
    const bool passwordSkipped = !client->passwordUsed() && !profileCopy.password.isEmpty();
    const QString skipped = tr("Панель подключена без пароля, хотя он задан");
    // The handshake's empty picture counts as a frame; the warning stays over it until the
    // panel's first update.
    warningFrames = passwordSkipped ? 2 : 0;
    statusLabel->setText(passwordSkipped ? skipped : tr("● Соединение установлено"));
    setOnline(true);
    refreshAction->setEnabled(true);
    keyboardAction->setEnabled(!profileCopy.viewOnly);
    ctrlAltDelAction->setEnabled(!profileCopy.viewOnly);
    updateEncryptionBadge();
    emit titleStatus(true);
    emit journal(tr("Соединение установлено"));
    if (passwordSkipped)
        emit journal(skipped);
    if (client->isEncrypted()) {
        // A pin lets in a certificate whatever its dates; the journal keeps that it had expired.
        const QDateTime expiry = client->peerCertificate().expiryDate();
        const bool expired = client->isAuthenticated() && expiry.isValid() && expiry < clock();
        emit journal(Journal::encryptedConnectionMessage(client->encryptionDescription(),
            client->isAuthenticated(), expired ? expiry : QDateTime()));
    }
}

void Session::onFrameChanged()
{
    if (warningFrames > 0 && --warningFrames == 0)
        statusLabel->setText(tr("● Соединение установлено"));
    lastFrameAt = clock();
    refreshFrameAge();
    snapshotAction->setEnabled(!client->framebuffer().isNull());
}

void Session::onEnded(const QString &reason)
{
    forgetAwaitedCertificate();
    QStringList details;
    const QByteArray presented = client->presentedCertificateSha256();
    if (!presented.isEmpty())
        details << Journal::changedCertificateMessage(profileCopy.certificateSha256, presented);
    const QString hint = Journal::securityOfferHint(
        profileCopy.encryption == PanelProfile::Encryption::Off, client->offeredSecurityTypes());
    if (!hint.isEmpty())
        details << hint;
    if (client->needsUserName())
        userNameWanted = true;
    finishAttempt(reason, client->retryable(), details);
}

void Session::finishAttempt(const QString &reason, bool retryable, const QStringList &details)
{
    // The snapshot action keeps its state: the last picture can still be saved.
    refreshAction->setEnabled(false);
    ctrlAltDelAction->setEnabled(false);
    keyboardAction->setEnabled(false);
    view->releaseAll();
    view->update();
    setOnline(false);
    updateEncryptionBadge();
    emit titleStatus(false);
    emit journal(reason);
    for (const QString &detail : details)
        emit journal(detail);
    // Raw screens larger than the link carries in 12 s end every attempt the same way.
    if (!profileCopy.compression && client->updateArriving())
        emit journal(tr("Канал слишком медленный для экрана без сжатия: включите «Сжатие "
                        "(медленный канал)» в настройках панели (кнопка «Изменить» в адресной "
                        "книге)"));
    if (client->decoderFailed()) {
        emit journal(tr("Сжатые данные этой панели прочитать не удалось. Обойти это можно, "
                        "сняв «Сжатие (медленный канал)» в карточке панели."));
    }

    if (!disconnectedByUser && profileCopy.reconnect && retryable && retryCount < maxRetries) {
        const int delay = retryDelaySeconds(retryCount);
        ++retryCount;
        statusLabel->setText(retryStatusText(shownReason(reason), retryCount, delay));
        reconnectTimer->start(delay * 1000);
        return;
    }
    engaged = false;
    statusLabel->setText(shownReason(reason));
    connectButton->setEnabled(true);
    disconnectButton->setEnabled(false);
}

void Session::onCertificateUnknown(const QSslCertificate &certificate)
{
    awaitedSha = certificate.digest(QCryptographicHash::Sha256);
    if (!automaticAttempt) {
        statusLabel->setText(tr("Подлинность панели не подтверждена: ожидается решение оператора"));
        emit certificateQuestion(certificate);
        return;
    }
    // Nobody started this attempt, so nobody is there to judge the certificate. It ends once
    // the client's signal has returned.
    QTimer::singleShot(0, this, [this, sha = awaitedSha] {
        if (!sha.isEmpty() && sha == awaitedSha)
            endUnconfirmed();
    });
}

void Session::trustCertificate(const QByteArray &sha256)
{
    if (sha256.isEmpty() || sha256 != awaitedSha)
        return;
    awaitedSha.clear();
    // Later attempts of this session, automatic ones too, go by the pin.
    profileCopy.certificateSha256 = PanelProfile::pinFromDigest(sha256);
    statusLabel->setText(tr("Сертификат принят, подключение продолжается…"));
    emit journal(Journal::trustDecisionMessage(true, sha256));
    client->acceptCertificate(sha256);
}

void Session::refuseCertificate(const QByteArray &sha256)
{
    if (sha256.isEmpty() || sha256 != awaitedSha)
        return;
    emit journal(Journal::trustDecisionMessage(false, sha256));
    endUnconfirmed();
}

void Session::endUnconfirmed()
{
    awaitedSha.clear();
    // Silent: the session reports the end itself.
    client->disconnectFromPanel();
    finishAttempt(tr("Подлинность панели не подтверждена оператором."), false);
}

void Session::forgetAwaitedCertificate()
{
    if (awaitedSha.isEmpty())
        return;
    awaitedSha.clear();
    emit certificateQuestionVoid();
}

void Session::updateEncryptionBadge()
{
    const bool shown = client->isLive() && client->isEncrypted();
    encryptionBadge->setVisible(shown);
    if (!shown)
        return;
    const bool checked = client->isAuthenticated();
    lockIcon->setPixmap(lockPixmap(checked,
        checked ? QColor(QStringLiteral("#62deba")) : QColor(QStringLiteral("#ffd38c")),
        devicePixelRatioF()));
    encryptionNote->setVisible(!checked);
    const QString name = checked ? tr("Шифрованное соединение, подлинность панели подтверждена")
                                 : tr("Шифрованное соединение без проверки подлинности");
    const QString tip = QStringLiteral("%1\n%2").arg(name, client->encryptionDescription());
    encryptionBadge->setProperty("authenticated", checked);
    repolish(encryptionBadge);
    encryptionBadge->setToolTip(plainToolTip(tip));
    lockIcon->setToolTip(encryptionBadge->toolTip());
    lockIcon->setAccessibleName(name);
    lockIcon->setAccessibleDescription(client->encryptionDescription());
}

void Session::onReconnectTimeout()
{
    automaticAttempt = true;
    emit journal(tr("Повторное подключение"));
    connectClient();
}

void Session::onDisconnectClicked()
{
    disconnectByUser();
    refreshAction->setEnabled(false);
    ctrlAltDelAction->setEnabled(false);
    keyboardAction->setEnabled(false);
}

void Session::onZoomChanged(int index)
{
    if (index >= 0 && index < int(std::size(zoomFactors)))
        view->setZoom(zoomFactors[index]);
}

void Session::onViewOnlyToggled(bool checked)
{
    view->setViewOnly(checked);
    profileCopy.viewOnly = checked;
    const bool interactive = client->isLive() && !checked;
    ctrlAltDelAction->setEnabled(interactive);
    keyboardAction->setEnabled(interactive);
}

void Session::onSnapshot()
{
    QPointer<Session> self(this);
    const bool saved = PanelSnapshot::save(this, client->framebuffer());
    if (self && saved)
        emit journal(tr("Снимок сохранён"));
}

void Session::onKeyboard()
{
    emit activationRequested();
    OnScreenKeyboard::run(this, client, view, profileCopy);
}

void Session::onCtrlAltDel()
{
    // Selected first, so the keys go to the session the user is looking at.
    emit activationRequested();
    QPointer<Session> self(this);
    const bool confirmed = confirm(this, tr("Отправить сочетание?"),
        tr("Передать Ctrl + Alt + Del панели «%1»?").arg(profileCopy.name));
    if (self && confirmed)
        view->sendCtrlAltDel();
}

void Session::onNotes()
{
    const QString text = profileCopy.notes.isEmpty()
                             ? tr("Заметки пока не добавлены. Их можно заполнить в настройках панели.")
                             : profileCopy.notes;
    notify(this, tr("Заметки · %1").arg(profileCopy.name), text);
}
