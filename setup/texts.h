#pragma once
// Every text the setup window shows, in French, the language it is written and looked up in.
//
// The French text is the source text of Qt's translation machinery: a translation file for
// another language can be dropped beside the executable without touching the code. No text is
// ever formatted, so a "%" in one is shown as it is.

#include <QtCore/QCoreApplication>
#include <QtCore/QString>

namespace companion::setup {

inline constexpr const char* textContext = "SetupView";

namespace texts {
// Shown as is, without lookup.
inline constexpr const char* windowTitle = "Tavro Files Companion";
inline constexpr const char* menuTitle = "Tavro Files Companion";

inline constexpr const char* quit = QT_TRANSLATE_NOOP("SetupView", "Quitter Tavro Files Companion");
inline constexpr const char* title = QT_TRANSLATE_NOOP("SetupView", "Tavro Files Companion");
inline constexpr const char* subtitle = QT_TRANSLATE_NOOP("SetupView", "Pour Tavro Files, version App Store");
inline constexpr const char* description = QT_TRANSLATE_NOOP(
    "SetupView",
    "Il fait pour Tavro Files ce que les règles de l'App Store interdisent à une app : l'assistant des boîtes "
    "Ouvrir / Enregistrer, les coffres chiffrés, les connexions SFTP et clouds, la synchronisation, les soins du "
    "Mac complets et les actions du Finder. Il ne fait rien d'autre que ces opérations, et seulement pour Tavro "
    "Files.");
inline constexpr const char* serviceTitle = QT_TRANSLATE_NOOP("SetupView", "Service en arrière-plan");
inline constexpr const char* serviceExplanation =
    QT_TRANSLATE_NOOP("SetupView", "Tavro Files l'appelle quand il en a besoin ; il s'arrête tout seul ensuite.");
inline constexpr const char* serviceEnabled = QT_TRANSLATE_NOOP("SetupView", "Actif");
inline constexpr const char* serviceRequiresApproval =
    QT_TRANSLATE_NOOP("SetupView", "À autoriser dans Réglages Système › Ouverture");
inline constexpr const char* serviceInactive = QT_TRANSLATE_NOOP("SetupView", "Inactif");
inline constexpr const char* openSystemSettings = QT_TRANSLATE_NOOP("SetupView", "Ouvrir Réglages Système");
inline constexpr const char* activate = QT_TRANSLATE_NOOP("SetupView", "Activer");
inline constexpr const char* accessibilityTitle = QT_TRANSLATE_NOOP("SetupView", "Accessibilité");
inline constexpr const char* accessibilityExplanation = QT_TRANSLATE_NOOP(
    "SetupView",
    "Pour l'assistant des boîtes Ouvrir / Enregistrer. Si Tavro Files Companion est déjà coché sans effet, "
    "retirez-le avec « − » puis autorisez-le à nouveau.");
inline constexpr const char* accessibilityGranted = QT_TRANSLATE_NOOP("SetupView", "Accordée");
inline constexpr const char* accessibilityMissing = QT_TRANSLATE_NOOP("SetupView", "Manquante");
inline constexpr const char* allow = QT_TRANSLATE_NOOP("SetupView", "Autoriser…");
inline constexpr const char* allowHelp = QT_TRANSLATE_NOOP(
    "SetupView",
    "Active l'accessibilité du bureau pour toutes vos sessions. Les applications déjà ouvertes, celles en Qt "
    "surtout, doivent être relancées pour que l'assistant les voie.");
inline constexpr const char* hostMissing = QT_TRANSLATE_NOOP("SetupView", "Tavro Files n'est pas installé sur ce Mac.");
inline constexpr const char* openHost = QT_TRANSLATE_NOOP("SetupView", "Ouvrir Tavro Files");
inline constexpr const char* deactivate = QT_TRANSLATE_NOOP("SetupView", "Désactiver");
inline constexpr const char* deactivateHelp =
    QT_TRANSLATE_NOOP("SetupView", "Arrête le service ; les fonctions qu'il permet disparaissent de Tavro Files.");
}  // namespace texts

// The text in the user's language where a translation is installed, the French text otherwise.
inline QString localized(const char* frenchText) { return QCoreApplication::translate(textContext, frenchText); }

}  // namespace companion::setup
