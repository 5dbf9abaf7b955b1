#include <QLatin1String>
#include <array>

#include "Localization.h"

namespace sendhold {
namespace {

// One column per language with texts of its own; the last, English, answers every other code.
enum Column { Ja, Zh, Fr, It, Es, De, Nl, Sv, Da, NoNb, Ko, Pt, En, ColumnCount };

struct Row {
    const char* key;
    std::array<const char16_t*, ColumnCount> texts;
};

// The keys in the order a lookup tries them. Texts that happen to be equal in several languages
// are still separate cells, so that one translation can change without touching another.
const Row kRows[] = {
    {"status_on",
     {
         u"Sendhold: 有効",    // ja
         u"Sendhold: 已启用",  // zh
         u"Sendhold: Actif",   // fr
         u"Sendhold: Attivo",  // it
         u"Sendhold: Activo",  // es
         u"Sendhold: Aktiv",   // de
         u"Sendhold: Actief",  // nl
         u"Sendhold: Aktiv",   // sv
         u"Sendhold: Aktiv",   // da
         u"Sendhold: Aktiv",   // no, nb
         u"Sendhold: 켜짐",    // ko
         u"Sendhold: Ativo",   // pt
         u"Sendhold: Active",  // en
     }},
    {"status_off",
     {
         u"Sendhold: 無効",       // ja
         u"Sendhold: 已禁用",     // zh
         u"Sendhold: Inactif",    // fr
         u"Sendhold: Disattivo",  // it
         u"Sendhold: Inactivo",   // es
         u"Sendhold: Inaktiv",    // de
         u"Sendhold: Inactief",   // nl
         u"Sendhold: Inaktiv",    // sv
         u"Sendhold: Inaktiv",    // da
         u"Sendhold: Inaktiv",    // no, nb
         u"Sendhold: 꺼짐",       // ko
         u"Sendhold: Inativo",    // pt
         u"Sendhold: Inactive",   // en
     }},
    {"settings",
     {
         u"設定...",           // ja
         u"设置...",           // zh
         u"Réglages...",       // fr
         u"Impostazioni...",   // it
         u"Ajustes...",        // es
         u"Einstellungen...",  // de
         u"Instellingen...",   // nl
         u"Inställningar...",  // sv
         u"Indstillinger...",  // da
         u"Innstillinger...",  // no, nb
         u"설정...",           // ko
         u"Ajustes...",        // pt
         u"Settings...",       // en
     }},
    {"quit",
     {
         u"終了",     // ja
         u"退出",     // zh
         u"Quitter",  // fr
         u"Esci",     // it
         u"Salir",    // es
         u"Beenden",  // de
         u"Stoppen",  // nl
         u"Avsluta",  // sv
         u"Afslut",   // da
         u"Avslutt",  // no, nb
         u"종료",     // ko
         u"Sair",     // pt
         u"Quit",     // en
     }},
    {"pref_title",
     {
         u"長押しの感度設定",                  // ja
         u"长按灵敏度设置",                    // zh
         u"Sensibilité de l'appui long",       // fr
         u"Sensibilità pressione prolungata",  // it
         u"Sensibilidad de pulsación larga",   // es
         u"Empfindlichkeit",                   // de
         u"Gevoeligheid lang indrukken",       // nl
         u"Känslighet för långt tryck",        // sv
         u"Følsomhed for langt tryk",          // da
         u"Følsomhet for langt trykk",         // no, nb
         u"길게 누르기 감도 설정",             // ko
         u"Sensibilidade do toque longo",      // pt
         u"Long Press Sensitivity",            // en
     }},
    {"fast",
     {
         u"速い (0.2s)",     // ja
         u"快 (0.2s)",       // zh
         u"Rapide (0.2s)",   // fr
         u"Veloce (0.2s)",   // it
         u"Rápido (0.2s)",   // es
         u"Schnell (0.2s)",  // de
         u"Snel (0.2s)",     // nl
         u"Snabb (0.2s)",    // sv
         u"Hurtig (0.2s)",   // da
         u"Rask (0.2s)",     // no, nb
         u"빠름 (0.2s)",     // ko
         u"Rápido (0.2s)",   // pt
         u"Fast (0.2s)",     // en
     }},
    {"slow",
     {
         u"遅い (1.0s)",      // ja
         u"慢 (1.0s)",        // zh
         u"Lent (1.0s)",      // fr
         u"Lento (1.0s)",     // it
         u"Lento (1.0s)",     // es
         u"Langsam (1.0s)",   // de
         u"Langzaam (1.0s)",  // nl
         u"Långsam (1.0s)",   // sv
         u"Langsom (1.0s)",   // da
         u"Sakte (1.0s)",     // no, nb
         u"느림 (1.0s)",      // ko
         u"Lento (1.0s)",     // pt
         u"Slow (1.0s)",      // en
     }},
    {"current_setting",
     {
         u"現在の設定:",            // ja
         u"当前设置:",              // zh
         u"Réglage actuel :",       // fr
         u"Impostazione attuale:",  // it
         u"Ajuste actual:",         // es
         u"Aktuell:",               // de
         u"Huidig:",                // nl
         u"Nuvarande:",             // sv
         u"Nuværende:",             // da
         u"Nåværende:",             // no, nb
         u"현재 설정:",             // ko
         u"Atual:",                 // pt
         u"Current:",               // en
     }},
    {"sec",
     {
         u"秒",  // ja
         u"秒",  // zh
         u"s",   // fr
         u"s",   // it
         u"s",   // es
         u"s",   // de
         u"s",   // nl
         u"s",   // sv
         u"s",   // da
         u"s",   // no, nb
         u"초",  // ko
         u"s",   // pt
         u"s",   // en
     }},
    {"launch_at_login",
     {
         u"ログイン時に自動開始",     // ja
         u"开机自动启动",             // zh
         u"Lancer au démarrage",      // fr
         u"Apri all'avvio",           // it
         u"Abrir al iniciar sesión",  // es
         u"Bei Anmeldung öffnen",     // de
         u"Openen bij inloggen",      // nl
         u"Öppna vid inloggning",     // sv
         u"Åbn ved login",            // da
         u"Åpne ved pålogging",       // no, nb
         u"로그인 시 열기",           // ko
         u"Abrir ao iniciar sessão",  // pt
         u"Launch at Login",          // en
     }},
    {"on_in_app",
     {
         u"このアプリで有効",        // ja
         u"在此应用中启用",          // zh
         u"Actif dans cette app",    // fr
         u"Attivo in questa app",    // it
         u"Activo en esta app",      // es
         u"In dieser App aktiv",     // de
         u"Actief in deze app",      // nl
         u"Aktiv i den här appen",   // sv
         u"Aktiv i denne app",       // da
         u"Aktiv i denne appen",     // no, nb
         u"이 앱에서 켜기",          // ko
         u"Ativo neste app",         // pt
         u"On in this application",  // en
     }},
    {"note",
     {
         u"※ 設定はすぐに反映されます",                // ja
         u"※ 设置将立即生效",                          // zh
         u"* Le réglage prend effet immédiatement",    // fr
         u"* L'impostazione ha effetto immediato",     // it
         u"* El ajuste surte efecto inmediatamente",   // es
         u"* Einstellung wird sofort wirksam",         // de
         u"* Instelling is direct actief",             // nl
         u"* Inställningen träder i kraft direkt",     // sv
         u"* Indstillingen træder i kraft straks",     // da
         u"* Innstillingen trer i kraft umiddelbart",  // no, nb
         u"※ 설정은 즉시 반영됩니다",                  // ko
         u"* O ajuste entra em vigor imediatamente",   // pt
         u"* Setting takes effect immediately",        // en
     }},
    {"state_on",
     {
         u"オン",      // ja
         u"开启",      // zh
         u"Activé",    // fr
         u"Attivo",    // it
         u"Activado",  // es
         u"Ein",       // de
         u"Aan",       // nl
         u"På",        // sv
         u"Til",       // da
         u"På",        // no, nb
         u"켜짐",      // ko
         u"Ligado",    // pt
         u"On",        // en
     }},
    {"state_off",
     {
         u"オフ",         // ja
         u"关闭",         // zh
         u"Désactivé",    // fr
         u"Disattivo",    // it
         u"Desactivado",  // es
         u"Aus",          // de
         u"Uit",          // nl
         u"Av",           // sv
         u"Fra",          // da
         u"Av",           // no, nb
         u"꺼짐",         // ko
         u"Desligado",    // pt
         u"Off",          // en
     }},
};

struct CodeColumn {
    const char* code;
    Column column;
};

// Norwegian has two codes, "no" and "nb", sharing one column.
const CodeColumn kCodes[] = {
    {"ja", Ja}, {"zh", Zh}, {"fr", Fr},   {"it", It},   {"es", Es}, {"de", De}, {"nl", Nl},
    {"sv", Sv}, {"da", Da}, {"no", NoNb}, {"nb", NoNb}, {"ko", Ko}, {"pt", Pt},
};

Column columnFor(const QString& code) {
    for (const CodeColumn& entry : kCodes) {
        if (code == QLatin1String(entry.code)) return entry.column;
    }
    return En;
}

}  // namespace

QString localized(const QString& key) {
    for (const Row& row : kRows) {
        if (key != QLatin1String(row.key)) continue;
        // The language is read only once the key is known, and afresh at every lookup.
        return QString::fromUtf16(row.texts[columnFor(preferredLanguageCode())]);
    }
    return key;
}

}  // namespace sendhold
