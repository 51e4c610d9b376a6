#include "skin_code_host.h"

#include "skin_name.h"

namespace skin {
namespace {

// One loaded skin's code and static data: the name buffer that GetResourceName hands out
// stays readable until the library is unloaded.
class SkinCode : public host::ModuleCode {
  public:
    SkinCode(host::Modules& modules, host::HMODULE self, int isDefault)
        : modules_(modules), self_(self), isDefault_(isDefault) {}

    host::FarProc Export(std::string_view name) override {
        if (name == "GetResourceName") {
            return [this] {
                name_[0] = 0;
                modules_.LoadStringW(self_, kNameStringId, name_, kNameCapacity);
                return reinterpret_cast<intptr_t>(name_);
            };
        }
        if (name == "IsQEXDefaultSkin") {
            return [this] { return static_cast<intptr_t>(isDefault_); };
        }
        return nullptr;
    }

  private:
    host::Modules& modules_;
    host::HMODULE self_;
    int isDefault_;
    char16_t name_[kNameCapacity] = {};
};

host::ModuleCodeFactory Factory(int isDefault) {
    return [isDefault](host::Modules& modules, host::HMODULE self) {
        return std::make_unique<SkinCode>(modules, self, isDefault);
    };
}

}  // namespace

void RegisterSkinCode(host::Modules& modules) {
    modules.RegisterCode(kDefaultSkinLibraryName, Factory(1));
    modules.RegisterCode(kTestSkinLibraryName, Factory(0));
}

}  // namespace skin
