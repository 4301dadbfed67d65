// The executable's string table on the simulated machine: what the resource script compiles
// into the Windows executable, from the same texts. The platform asks for it the first time a
// process looks at its modules.
#include "Machine/Modules.h"

#include "ServiceStrings.h"

#define TARVIK_LANGID(primary, sub) static_cast<WORD>(((sub) << 10) | (primary))
#define TARVIK_LANG(pair) TARVIK_LANGID(pair)

namespace {

const sim::StringResource kStrings[] = {
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

}  // namespace

extern "C" const sim::StringResource* TarvikExecutableStrings(size_t* count) {
    *count = sizeof(kStrings) / sizeof(kStrings[0]);
    return kStrings;
}
