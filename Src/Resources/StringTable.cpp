// The executable's string table on the simulated machine: what the resource script compiles
// into the Windows executable, from the same texts, handed to the machine's loader before main.
#include <windows.h>

#include <simhost/resources.h>

#include "ServiceStrings.h"

#define TARVIK_LANGID(primary, sub) static_cast<WORD>(((sub) << 10) | (primary))
#define TARVIK_LANG(pair) TARVIK_LANGID(pair)

namespace {

const SIMHOST_STRING_RESOURCE kStrings[] = {
    {TARVIK_LANG(TARVIK_LANG_ZH_TW), IDS_SERVICE_DESCRIPTION, u"" TARVIK_DESCRIPTION_ZH_TW},
    {TARVIK_LANG(TARVIK_LANG_ZH_CN), IDS_SERVICE_DESCRIPTION, u"" TARVIK_DESCRIPTION_ZH_CN},
    {TARVIK_LANG(TARVIK_LANG_DE_DE), IDS_SERVICE_DESCRIPTION, u"" TARVIK_DESCRIPTION_DE_DE},
    {TARVIK_LANG(TARVIK_LANG_EN_US), IDS_SERVICE_DESCRIPTION, u"" TARVIK_DESCRIPTION_EN_US},
    {TARVIK_LANG(TARVIK_LANG_FR_FR), IDS_SERVICE_DESCRIPTION, u"" TARVIK_DESCRIPTION_FR_FR},
    {TARVIK_LANG(TARVIK_LANG_IT_IT), IDS_SERVICE_DESCRIPTION, u"" TARVIK_DESCRIPTION_IT_IT},
    {TARVIK_LANG(TARVIK_LANG_JA_JP), IDS_SERVICE_DESCRIPTION, u"" TARVIK_DESCRIPTION_JA_JP},
    {TARVIK_LANG(TARVIK_LANG_KO_KR), IDS_SERVICE_DESCRIPTION, u"" TARVIK_DESCRIPTION_KO_KR},
    {TARVIK_LANG(TARVIK_LANG_PT_BR), IDS_SERVICE_DESCRIPTION, u"" TARVIK_DESCRIPTION_PT_BR},
    {TARVIK_LANG(TARVIK_LANG_ES_ES), IDS_SERVICE_DESCRIPTION, u"" TARVIK_DESCRIPTION_ES_ES},
};

// First of the static constructors, as a Windows executable's resources are mapped before any of
// its code runs. An object library links this file whole, so nothing needs to refer to it.
struct StringTableRegistration {
    StringTableRegistration() {
        SimHostRegisterStrings(kStrings, sizeof(kStrings) / sizeof(kStrings[0]));
    }
} g_stringTableRegistration __attribute__((init_priority(101)));

}  // namespace
