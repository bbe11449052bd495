#include "devserver/PhraseList.h"

namespace devserver {

// A copy of phrases.json, used when the data file cannot be found (an installed binary
// away from its source tree). The tests check that the two stay the same.
const char* const PhraseList::embeddedDefault = R"phrases([
  {"phrase": "kill myself", "tier": 3, "category": "self_harm"},
  {"phrase": "want to die", "tier": 3, "category": "self_harm"},
  {"phrase": "wanna die", "tier": 3, "category": "self_harm"},
  {"phrase": "end my life", "tier": 3, "category": "self_harm"},
  {"phrase": "take my own life", "tier": 3, "category": "self_harm"},
  {"phrase": "end it all", "tier": 3, "category": "self_harm"},
  {"phrase": "suicide", "tier": 3, "category": "self_harm"},
  {"phrase": "suicidal", "tier": 3, "category": "self_harm"},
  {"phrase": "hurt myself", "tier": 3, "category": "self_harm"},
  {"phrase": "better off without me", "tier": 3, "category": "self_harm"},
  {"phrase": "no reason to live", "tier": 3, "category": "self_harm"},
  {"phrase": "can't do this anymore", "tier": 3, "category": "crisis"},
  {"phrase": "cant do this anymore", "tier": 3, "category": "crisis"},
  {"phrase": "can't go on", "tier": 3, "category": "crisis"},

  {"phrase": "hopeless", "tier": 2, "category": "hopelessness"},
  {"phrase": "worthless", "tier": 2, "category": "hopelessness"},
  {"phrase": "what's the point", "tier": 2, "category": "hopelessness"},
  {"phrase": "i give up", "tier": 2, "category": "hopelessness"},
  {"phrase": "i hate myself", "tier": 2, "category": "hopelessness"},
  {"phrase": "nobody cares", "tier": 2, "category": "isolation"},
  {"phrase": "no one cares", "tier": 2, "category": "isolation"},
  {"phrase": "so alone", "tier": 2, "category": "isolation"},
  {"phrase": "falling apart", "tier": 2, "category": "distress"},
  {"phrase": "can't cope", "tier": 2, "category": "distress"},
  {"phrase": "panic attack", "tier": 2, "category": "distress"},

  {"phrase": "exhausted", "tier": 1, "category": "strain"},
  {"phrase": "burned out", "tier": 1, "category": "strain"},
  {"phrase": "burnt out", "tier": 1, "category": "strain"},
  {"phrase": "overwhelmed", "tier": 1, "category": "strain"},
  {"phrase": "drained", "tier": 1, "category": "strain"},
  {"phrase": "so tired", "tier": 1, "category": "strain"},
  {"phrase": "can't sleep", "tier": 1, "category": "strain"},
  {"phrase": "stressed out", "tier": 1, "category": "strain"},
  {"phrase": "anxious", "tier": 1, "category": "strain"}
]
)phrases";

}  // namespace devserver
