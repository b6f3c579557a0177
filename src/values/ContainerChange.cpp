#include "utils/Overloaded.h"
#include "velkor/VKContainerChange.h"

namespace velkor {

std::string VKContainerChange::description() const {
    return std::visit(
        Overloaded{
            [](const DidDictionaryChildAdd& e) {
                return "didDictionaryChildAdd(key=" + e.key + ")";
            },
            [](const DidArrayChildAdd& e) {
                return "didArrayChildAdd(index=" + std::to_string(e.index) + ")";
            },
            [](const DidDictionaryChildReplace& e) {
                return "didDictionaryChildReplace(key=" + e.key + ")";
            },
            [](const DidArrayChildReplace& e) {
                return "didArrayChildReplace(index=" + std::to_string(e.index) + ")";
            },
            [](const DidDictionaryChildRemove& e) {
                return "didDictionaryChildRemove(key=" + e.key + ")";
            },
            [](const DidArrayChildRemove& e) {
                return "didArrayChildRemove(index=" + std::to_string(e.index) + ")";
            },
            [](const DidDescendantChange& e) { return "didDescendantChange(path=" + e.path + ")"; },
            [](const DidRemoveAll&) { return std::string("didRemoveAll"); },
            [](const DidDelete&) { return std::string("didDelete"); },
        },
        payload_);
}

}  // namespace velkor
