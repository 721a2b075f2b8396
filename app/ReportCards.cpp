#include "app/ReportCards.h"
#include "app/BoundedCall.h"
#include "app/ReportCards_internal.h"
#include "app/ReportFormat.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "token/cardlib.h"

namespace {

const char* const kRed = "red";
const char* const kBlue = "blue";
const char* const kBlack = "black";
// How long the reader list may take. Its probe connects to every reader,
// and the daemon holds that for as long as the reader's driver waits on its
// card: a broken reader would otherwise end the report there for good.
const int kReaderListTimeoutMs = 10000;

// A red error line. The view remembers the colour in force before a
// coloured piece and returns to it afterwards, so black is set again at
// once: otherwise the next coloured heading would save red, and the whole
// section after it would read as errors.
void ErrorLine(ReportSink& sink, const QString& text)
{
    sink.coloured(text, kRed, false);
    sink.colour(kBlack);
}

// The port API's reader list within kReaderListTimeoutMs, into state;
// false when it failed or did not come back in time. A list that comes back
// later fills only its own records, which it shares with nothing else.
bool ListReaders(ReaderSectionState& state)
{
    struct Listing {
        ReaderSectionState found;
        int result = PCSC2STD_ERR_PCSC;
    };
    const std::shared_ptr<Listing> listing = std::make_shared<Listing>();
    if (!CallWithin(kReaderListTimeoutMs,
                    [listing] { listing->result = GetAllReaders(listing->found.readers, &listing->found.count); }) ||
        listing->result != 0)
        return false;
    state = listing->found;
    return true;
}

// The working records of one report, kept off the pool thread's stack.
struct CardRecords {
    CardInfo cards[PCSC2STD_MAX_READERS];
    int cardCount = 0;
    PublicKeyInfoList keys;
    CertificateInfoList certificates;
};

QString YesNo(uint8_t flag)
{
    return flag != 0 ? QStringLiteral("Tak") : QStringLiteral("Nie");
}

// A listing count as far as the records go, whatever the layer reported.
int ListedCount(int32_t count)
{
    if (count < 0)
        return 0;
    return count > CARDLIB_MAX_LISTED_OBJECTS ? CARDLIB_MAX_LISTED_OBJECTS : count;
}

int ProfileCount(const CardInfo& card)
{
    if (card.profileCount < 0)
        return 0;
    return card.profileCount > CARDINFO_MAX_PROFILES ? CARDINFO_MAX_PROFILES : card.profileCount;
}

QString CardNumberText(const CardInfo& card)
{
    const QByteArray number = FieldText(card.cardNumber, sizeof card.cardNumber);
    return QString::fromUtf8(GroupDigitsBy4(number.constData()));
}

void ProfileLine(ReportSink& sink, const char* label, const QString& value)
{
    sink.weighted(QStringLiteral("   ") + QString::fromUtf8(label), true);
    sink.weighted(value + "\n", false);
}

// One listed object: type, handle, label, key size and identifier.
void ObjectLines(ReportSink& sink, const char* type, const char* idLabel, uint64_t handle, const char* label,
                 size_t labelSize, int32_t keyBits, const uint8_t* id, uint64_t idLength, size_t idCapacity)
{
    const QString indent = QStringLiteral("    ");
    sink.weighted(indent + QStringLiteral("Typ obiektu : "), true);
    sink.weighted(QString::fromUtf8(type), false);
    sink.weighted(QStringLiteral("\n"), false);
    sink.weighted(indent + QStringLiteral("Uchwyt : "), true);
    sink.weighted(HandleText(handle), false);
    sink.weighted(QStringLiteral("\n"), false);
    sink.weighted(indent + QStringLiteral("Nazwa : "), true);
    sink.weighted(FieldText(label, labelSize), false);
    sink.weighted(QStringLiteral("\n"), false);
    sink.weighted(indent + QStringLiteral("Długosć klucza : "), true);
    sink.weighted(QString::number(keyBits), false);
    sink.weighted(QStringLiteral("\n"), false);
    sink.weighted(indent + QString::fromUtf8(idLabel), true);
    sink.weighted(IdentifierText(id, idLength, idCapacity), false);
    sink.weighted(QStringLiteral("\n"), false);
}

// One reader of the state section; true when its card was read into card.
bool ReportReader(ReportSink& sink, const char* name, CardInfo& card)
{
    uint32_t port = PCSC2STD_NO_PORT;
    const int opened = InitPort(0, 0, name, &port, PCSC2STD_CARD_KIND_T1, 0);
    if (opened != 0) {
        ErrorLine(sink, CodeLine("Błąd inicjalizacji czytnika przez wrapper PCSC", opened));
        return false;
    }
    sink.weighted(QStringLiteral(" Czytnik"), true);
    sink.weighted(QStringLiteral(" : ") + QString::fromUtf8(name) + "\n", false);
    sink.weighted(QStringLiteral(" Stan czytnika"), true);

    const int status = CardStatus(port);
    if (status < 0) {
        ClosePort(port);
        sink.weighted(QStringLiteral(" : "), false);
        ErrorLine(sink, CodeLine(" Błąd pobrania statusu czytnika przez wrapper PCSC", status));
        return false;
    }
    if (status != PCSC2STD_CARD_PRESENT && status != (PCSC2STD_CARD_PRESENT | PCSC2STD_CARD_CHANGED)) {
        ClosePort(port);
        sink.weighted(QStringLiteral(" : ") + "Brak karty w czytniku\n\n", false);
        return false;
    }
    sink.weighted(QStringLiteral(" : ") + " Karta w czytniku\n", false);
    sink.weighted(QStringLiteral(" Informacje o karcie :\n"), true);

    // The port API writes up to its full ATR capacity, one byte more than
    // the longest ATR the report prints on one line.
    unsigned char atr[PCSC2STD_ATR_CAPACITY] = {};
    const int atrLength = CardReset(atr, 1, port);
    ClosePort(port);
    if (atrLength <= 0) {
        ErrorLine(sink, CodeLine(" Błąd pobrania ATR karty przez wrapper PCSC", atrLength));
        return false;
    }
    sink.weighted(QStringLiteral(" ATR : "), true);
    sink.weighted(AtrLine(atr, atrLength), false);

    OpenReaderPort(name);
    const bool read = ReadCardInfo(name, &card) == 0;
    if (!read) {
        ErrorLine(sink, QStringLiteral("Błąd pobrania podstawowych parametrów karty\n\n"));
    } else {
        sink.weighted(QStringLiteral(" Numer karty : "), true);
        sink.weighted(CardNumberText(card), false);
        sink.weighted(QStringLiteral("\n"), false);
        const int profiles = ProfileCount(card);
        for (int i = 0; i < profiles; ++i) {
            const ProfileInfo& profile = card.profiles[i];
            const char* heading = nullptr;
            if (profile.kind == PROFILE_KIND_REGULAR)
                heading = " Wersja profilu zwykłego : ";
            else if (profile.kind == PROFILE_KIND_SECURE)
                heading = " Wersja profilu bezpiecznego : ";
            else
                continue;
            sink.weighted(QString::fromUtf8(heading), true);
            sink.weighted(QString::fromUtf8(FieldText(profile.profileVersion, sizeof profile.profileVersion)) + "\n",
                          false);
        }
    }
    CloseReaderPort();
    sink.weighted(QStringLiteral("\n"), false);
    return read;
}

void ReportCardDetails(ReportSink& sink, const CardInfo& card, CardRecords& records)
{
    const QByteArray readerName = FieldText(card.readerName, sizeof card.readerName);
    sink.weighted(QStringLiteral(" Karta numer : "), true);
    sink.weighted(CardNumberText(card) + " ( " + "czytnik : " + QString::fromUtf8(readerName) + " )\n", false);

    const int profiles = ProfileCount(card);
    for (int i = 0; i < profiles; ++i) {
        const ProfileInfo& profile = card.profiles[i];
        if (profile.kind != PROFILE_KIND_REGULAR && profile.kind != PROFILE_KIND_SECURE)
            continue;
        BindProfileToReader(profile.kind, readerName.constData());
        sink.weighted(profile.kind == PROFILE_KIND_REGULAR ? QStringLiteral("  PROFIL ZWYKŁY")
                                                           : QStringLiteral("  PROFIL BEZPIECZNY"),
                      true);
        sink.weighted(QStringLiteral("\n"), false);

        ProfileLine(sink, "Opis profilu : ", QString::fromUtf8(FieldText(profile.label, sizeof profile.label)));
        ProfileLine(sink, "Numer seryjny : ",
                    QString::fromUtf8(FieldText(card.serialNumber, sizeof card.serialNumber)));
        ProfileLine(sink, "Profil zainicjalizowany : ", YesNo(profile.tokenInitialized));
        ProfileLine(sink, "Kod PIN zablokowany : ", YesNo(profile.userPinLocked));
        ProfileLine(sink, "Kod PUK zablokowany : ", YesNo(profile.soPinLocked));
        ProfileLine(sink, "Dostępna pamięć publiczna : ", QString::number(profile.freePublicMemory));
        ProfileLine(sink, "Dostępna pamięć prywatna : ", QString::number(profile.freePrivateMemory));

        const int keysListed = ListPublicKeys(profile.kind, &records.keys);
        sink.weighted(QStringLiteral("   ") + "Lista obiektów publicznych : \n\n", true);
        if (keysListed == 0) {
            const int count = ListedCount(records.keys.count);
            for (int k = 0; k < count; ++k) {
                const PublicKeyInfo& key = records.keys.keys[k];
                ObjectLines(sink, "Klucz publiczny", "Identyfikator klucza : ", key.handle, key.label,
                            sizeof key.label, key.keyBits, key.id, key.idLength, sizeof key.id);
            }
        }
        if (ListCertificates(profile.kind, &records.certificates) == 0) {
            const int count = ListedCount(records.certificates.count);
            for (int c = 0; c < count; ++c) {
                const CertificateInfo& certificate = records.certificates.certificates[c];
                ObjectLines(sink, "Certyfikat", "Identyfikator certyfikatu : ", certificate.handle,
                            certificate.label, sizeof certificate.label, certificate.keyBits, certificate.id,
                            certificate.idLength, sizeof certificate.id);
            }
        }
        sink.weighted(QStringLiteral("   ") + "Koniec listy obiektów publicznych\n\n", true);
    }
}

} // namespace

QByteArray FieldText(const char* field, size_t size)
{
    if (field == nullptr)
        return QByteArray();
    return QByteArray(field, static_cast<int>(strnlen(field, size)));
}

QString ReaderListText(const ReaderInfo* readers, uint32_t count)
{
    if (count > PCSC2STD_MAX_READERS)
        count = PCSC2STD_MAX_READERS;
    QString text = QStringLiteral("  ");
    for (uint32_t i = 0; i < count; ++i)
        text += QString::fromUtf8(FieldText(readers[i].name, sizeof readers[i].name)) + "\n" + "  ";
    text += "\n";
    return text;
}

QString CodeLine(const char* message, int code)
{
    return QString::fromUtf8(message) + " - " + QString::number(code) + "\n\n";
}

QString AtrLine(const unsigned char* atr, int length)
{
    if (length > static_cast<int>(PCSC2STD_ATR_CAPACITY))
        length = static_cast<int>(PCSC2STD_ATR_CAPACITY);
    return QString::fromUtf8(FormatHex(reinterpret_cast<const char*>(atr), length, 32, ":")) + "\n";
}

QString HandleText(uint64_t handle)
{
    char text[32];
    snprintf(text, sizeof text, "%08X", static_cast<unsigned>(handle & 0xFFFFFFFFu));
    return QString::fromLatin1(text);
}

QString IdentifierText(const uint8_t* id, uint64_t idLength, size_t idCapacity)
{
    const uint64_t length = idLength > idCapacity ? idCapacity : idLength;
    const int bytes = static_cast<int>(length);
    return QString::fromLatin1(FormatHex(reinterpret_cast<const char*>(id), bytes, static_cast<unsigned>(bytes), ""));
}

void ReportReaderList(ReportSink& sink, ReaderSectionState& state, bool serviceAnswers)
{
    sink.weighted(QStringLiteral(" Lista czytników wykorzystywanych przez serwis PCSC\n"), true);
    bool listed = false;
    if (serviceAnswers) {
        InitLibrary();
        listed = ListReaders(state);
    }
    if (!listed) {
        state.count = 0;
        state.listFailed = true;
        ErrorLine(sink, QStringLiteral(" Błąd pobrania listy czytników przez wrapper PCSC\n"));
        return;
    }
    // Only the records the array holds are ever read.
    if (state.count > PCSC2STD_MAX_READERS)
        state.count = PCSC2STD_MAX_READERS;
    state.listFailed = false;
    sink.plain(ReaderListText(state.readers, state.count));
}

void ReportReaderAndCardState(ReportSink& sink, const ReaderSectionState& state)
{
    sink.coloured(QStringLiteral("Lista stanu czytników i kart\n\n"), kBlue, true);
    if (state.listFailed)
        return;

    std::unique_ptr<CardRecords> records(new CardRecords());
    const uint32_t count = state.count > PCSC2STD_MAX_READERS ? PCSC2STD_MAX_READERS : state.count;
    for (uint32_t i = 0; i < count; ++i) {
        // The name always reaches the port API terminated, even from a full field.
        char name[sizeof state.readers[i].name + 1] = {};
        memcpy(name, state.readers[i].name, sizeof state.readers[i].name);
        CardInfo& card = records->cards[records->cardCount];
        if (ReportReader(sink, name, card))
            records->cardCount += 1;
    }

    sink.weighted(QStringLiteral("\n"), false);
    sink.weighted(QStringLiteral(" Szczegółowe informacje o kartach\n\n"), true);
    for (int i = 0; i < records->cardCount; ++i)
        ReportCardDetails(sink, records->cards[i], *records);
}
