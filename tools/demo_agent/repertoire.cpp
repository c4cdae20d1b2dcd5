#include "repertoire.h"

#include <functional>
#include <vector>

#include "util/paths.h"
#include "util/text.h"

namespace {

struct Topic {
  std::vector<std::string_view> keywords;
  std::vector<std::string_view> lines;
};

// The innkeeper's repertoire; the smith swaps in lines of his own for the first two topics.
const std::vector<Topic>& innkeeper_topics() {
  static const std::vector<Topic> topics = {
      {{"hello", "hi", "hey", "greetings", "morning", "evening", "well met"},
       {"Well met, traveller! Come in out of the wind, the fire's lit and the stew is hot.",
        "Ah, a new face! Welcome to the Quill & Anchor, finest inn in all of Quillhaven."}},
      {{"ale", "beer", "mead", "drink", "wine", "thirsty"},
       {"A mug of Harbour Brown it is, brewed right here in the cellar. Mind the foam.",
        "I've mead from the hill farms and an ale that'll put hair on your chest. Pick your "
        "poison."}},
      {{"room", "bed", "sleep", "stay", "night", "rest"},
       {"A room's two silver a night, breakfast included. Top of the stairs, the door that sticks.",
        "I've one bed left, by the chimney. Warm, if you don't mind the mice singing."}},
      {{"sword", "blade", "axe", "armor", "armour", "forge", "weapon", "steel", "iron", "repair"},
       {"For steel you want old Brom at the forge, past the well. Tell him I sent you.",
        "Brom the smith can mend that. He grumbles, but his work is the best this side of the "
        "river."}},
      {{"price", "cost", "gold", "coin", "coins", "pay", "silver"},
       {"Coin's coin, friend. Two silver for a bed, one copper for a mug, and stories are free.",
        "Pay what's fair and you'll find Quillhaven fair to you."}},
      {{"rumor", "rumour", "news", "gossip", "quest", "trouble", "dragon", "adventure"},
       {"They say lights were seen on the old quill tower again. Nobody's been up there in years.",
        "A merchant swore he saw something big circling the marsh. Drank three ales after, mind "
        "you."}},
      {{"bye", "goodbye", "farewell", "leave", "later"},
       {"Safe roads, traveller. The door's always open at the Quill & Anchor.",
        "Off with you then, and watch the cobbles, they're slick after rain."}},
      {{"who", "name"},
       {"Folk here just call me the keeper. I've poured ale in Quillhaven for twenty winters.",
        "Names are for tax collectors. But I run this inn, and that's all you need to know."}},
  };
  return topics;
}

const std::vector<Topic>& smith_topics() {
  static const std::vector<Topic> topics = {
      {{"hello", "hi", "hey", "greetings", "morning", "evening", "well met"},
       {"Hm. Welcome to the forge. Don't touch anything glowing.",
        "Aye, come in. Mind the sparks, they've a taste for boots."}},
      {{"sword", "blade", "axe", "armor", "armour", "forge", "weapon", "steel", "iron", "repair"},
       {"Good steel needs fire, patience and a strong arm. I've all three. What needs mending?",
        "That blade's seen better days. Leave it with me till sundown and it'll sing again."}},
  };
  return topics;
}

const std::vector<std::string_view> IDLE_LINES = {
    "Hm, is that so? Quillhaven's a quiet place, but it hears a lot of tales.",
    "I'll think on that. Meanwhile, can I get you anything?",
    "You've a strange way of talking, stranger. Where are you from?",
};

// The words of the text, lowered, without surrounding punctuation.
std::vector<std::string> words_of(std::string_view text) {
  std::vector<std::string> words;
  for (const std::string& raw : split_whitespace(ascii_lower(text))) {
    std::size_t start = raw.find_first_not_of("\"'`.,;:!?()[]{}<>");
    std::size_t end = raw.find_last_not_of("\"'`.,;:!?()[]{}<>");
    if (start != std::string::npos) words.push_back(raw.substr(start, end - start + 1));
  }
  return words;
}

bool has_keyword(const std::vector<std::string>& words, const std::string& lowered,
                 std::string_view keyword) {
  if (keyword.find(' ') != std::string_view::npos)
    return lowered.find(keyword) != std::string::npos;
  for (const std::string& w : words) {
    if (w == keyword) return true;
  }
  return false;
}

std::string_view pick(const std::vector<std::string_view>& lines, std::size_t seed) {
  return lines[seed % lines.size()];
}

// A word of the player's that names an existing file in the working folder.
std::optional<std::string> named_file(std::string_view text, const std::string& cwd) {
  for (const std::string& raw : split_whitespace(text)) {
    std::size_t start = raw.find_first_not_of("\"'`(");
    std::size_t end = raw.find_last_not_of("\"'`),;:!?.");
    if (start == std::string::npos || end == std::string::npos || end < start) continue;
    std::string name = raw.substr(start, end - start + 1);
    if (is_regular_file(join_path(cwd, name))) return name;
  }
  return std::nullopt;
}

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

}  // namespace

std::string persona_label(std::string_view persona) {
  std::string text = trim(persona);
  std::size_t you_are = ascii_lower(text).find("you are ");
  if (you_are != std::string::npos) {
    text = text.substr(you_are + 8);
    text = text.substr(0, text.find_first_of(".,;:!?\n"));
  } else {
    text = text.substr(0, text.find_first_of(".!?\n"));
  }
  return truncate_chars(trim(to_valid_utf8(text)), 60);
}

bool asks_for_files(std::string_view words) {
  std::string lowered = ascii_lower(words) + " ";
  if (lowered.find("run ") != std::string::npos || lowered.find("list") != std::string::npos ||
      lowered.find("look at") != std::string::npos || lowered.find("read ") != std::string::npos) {
    return true;
  }
  for (const std::string& w : words_of(words)) {
    if (w == "ls") return true;
  }
  return false;
}

DemoPlan plan_demo_turn(std::string_view words, std::string_view persona, std::size_t turn,
                        const std::string& cwd) {
  DemoPlan plan;
  std::string label = persona_label(persona);
  if (turn == 0 && !label.empty()) plan.reply = "*" + label + " looks up.* ";
  std::size_t seed = std::hash<std::string_view>{}(words) + turn;

  if (asks_for_files(words)) {
    std::string lowered = ascii_lower(words);
    bool wants_reading =
        lowered.find("read ") != std::string::npos || lowered.find("look at") != std::string::npos;
    std::optional<std::string> file = wants_reading ? named_file(words, cwd) : std::nullopt;
    if (file) {
      plan.reply += "Let me fetch my spectacles and have a look at " + *file + ".";
      plan.tool = DemoTool{"Read", Json{{"file_path", join_path(cwd, *file)}}};
    } else {
      plan.reply += "Let me see what's lying about in here.";
      plan.tool = DemoTool{
          "Bash", Json{{"command", "ls -la"}, {"description", "List what is in the room"}}};
    }
    return plan;
  }

  std::vector<std::string> tokens = words_of(words);
  std::string lowered = ascii_lower(words);
  bool smith = ascii_lower(persona).find("smith") != std::string::npos ||
               ascii_lower(persona).find("forge") != std::string::npos;
  for (const auto* topics : {smith ? &smith_topics() : nullptr, &innkeeper_topics()}) {
    if (topics == nullptr) continue;
    for (const Topic& topic : *topics) {
      for (std::string_view keyword : topic.keywords) {
        if (has_keyword(tokens, lowered, keyword)) {
          plan.reply += std::string(pick(topic.lines, seed));
          return plan;
        }
      }
    }
  }
  plan.reply += std::string(pick(IDLE_LINES, seed));
  return plan;
}

std::string demo_tool_comment(const std::string& tool, const ToolOutcome& outcome) {
  if (outcome.is_error) {
    return "Bah, that came to nothing: " + truncate_chars(first_line(outcome.content), 160);
  }
  if (tool == "Bash") {
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start < outcome.content.size()) {
      std::size_t end = outcome.content.find('\n', start);
      if (end == std::string::npos) end = outcome.content.size();
      std::vector<std::string> fields =
          split_whitespace(std::string_view(outcome.content).substr(start, end - start));
      // `ls -la` lines: permissions, links, owner, group, size, three date fields, name.
      if (fields.size() >= 9 && fields[8] != "." && fields[8] != "..") names.push_back(fields[8]);
      start = end + 1;
    }
    if (names.empty()) return "Nothing here but dust and an old boot.";
    if (names.size() == 1) return "Just the one thing lying about: " + names[0] + ".";
    std::string list;
    for (std::size_t i = 0; i < names.size() && i < 5; ++i) list += (i ? ", " : "") + names[i];
    return "I count " + std::to_string(names.size()) + " things lying about: " + list +
           (names.size() > 5 ? ", and more besides." : ".");
  }
  if (tool == "Read") {
    std::string opening = truncate_chars(trim(first_line(trim(outcome.content))), 120);
    if (opening.empty()) return "The page is blank. Someone's idea of a joke?";
    return "It begins: \"" + opening + "\" Make of that what you will.";
  }
  return "There, done.";
}
