#include "mail/mail-filler.h"

#include "common/random.h"

namespace tracemint {

const std::array<std::string_view, fillerCount> fillerTexts = {
    // Twelve on one line.
    "What's red and invisible? No tomatoes.\r\n",
    "I would tell you a joke about TCP, but you would have to acknowledge it first.\r\n",
    "I told my computer a joke about UDP. I am not sure it got it.\r\n",
    "There are 10 kinds of people: those who read binary and those who do not.\r\n",
    "I tried to catch some fog this morning, but I mist.\r\n",
    "The inventor of the shovel made a ground-breaking discovery.\r\n",
    "I used to work as a banker, but then I lost interest.\r\n",
    "Time flies like an arrow; fruit flies like a banana.\r\n",
    "I am reading a book about anti-gravity. It is impossible to put down.\r\n",
    "My mail server and I have an understanding: I send, it defers.\r\n",
    "I would make a joke about the spam folder, but you would never see it.\r\n",
    "The attachment was so big that even the paperclip filed a complaint.\r\n",
    // Twelve as a question and its answer.
    "What are a ninja's favourite type of shoes?\r\n Sneakers!\r\n",
    "Why did the scarecrow win an award?\r\n Because he was outstanding in his field.\r\n",
    "What do you call a fake noodle?\r\n An impasta.\r\n",
    "Why do programmers prefer dark mode?\r\n Because light attracts bugs.\r\n",
    "Why was the maths book sad?\r\n It had too many problems.\r\n",
    "What do you call a bear with no teeth?\r\n A gummy bear.\r\n",
    "What did the ocean say to the beach?\r\n Nothing, it just waved.\r\n",
    "Why don't skeletons fight each other?\r\n They don't have the guts.\r\n",
    "What do you call a sleeping dinosaur?\r\n A dino-snore.\r\n",
    "Why did the network engineer bring a ladder?\r\n To reach the upper layers.\r\n",
    "How does a mail server say goodbye?\r\n With a 221 and no hard feelings.\r\n",
    "Why can't a bicycle stand up on its own?\r\nIt is two tired.\r\n",
    // One in three lines.
    "A SYN walks into a bar and waits.\r\n The bartender answers with a SYN-ACK.\r\n"
    " The SYN never replies: it only wanted to know if the bar was open.\r\n",
};

std::string pickFillerText(Random& random) {
    const std::string_view entry = fillerTexts[nextRandom(random) % fillerCount];
    std::string text;
    text.reserve(entry.size() + 4);
    text.append(entry);
    text.append("\r\n\r\n");
    return text;
}

}  // namespace tracemint
