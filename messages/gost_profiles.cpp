#include "messages/gost_profiles.h"

#include <openssl/obj_mac.h>

#include <initializer_list>

namespace korva::messages {

const GostProfile kGost2001Profile{NID_id_GostR3410_2001, "md_gost94", 32, NID_id_GostR3411_94_with_GostR3410_2001,
                                   NID_id_GostR3411_94_CryptoProParamSet};
const GostProfile kGost2012_256Profile{NID_id_GostR3410_2012_256, "md_gost12_256", 32,
                                       NID_id_tc26_signwithdigest_gost3410_2012_256, NID_id_GostR3411_2012_256};
const GostProfile kGost2012_512Profile{NID_id_GostR3410_2012_512, "md_gost12_512", 64,
                                       NID_id_tc26_signwithdigest_gost3410_2012_512, NID_undef};

const GostProfile* gostProfileOf(int keyNid) noexcept {
    for (const GostProfile* profile : {&kGost2001Profile, &kGost2012_256Profile, &kGost2012_512Profile})
        if (profile->keyNid == keyNid) return profile;
    return nullptr;
}

}  // namespace korva::messages
