#include "translate/translator.hpp"

#include "translate/block_translator.hpp"

using block_translation::block_translator;
using block_translation::untranslatable;

std::unique_ptr<ir_block> translate_block(forth_vm& vm, translation_memo& memo, const char* start)
{
    block_translator translator{vm, memo};
    translator.set_start(start);
    try {
        return translator.translate(start);
    } catch (const untranslatable&) {
        return nullptr;
    }
}
