#include "cli.h"

#include <stddef.h>
#include <string.h>

#include <string_view>

int cli_optind = 1;
char* cli_optarg;
int cli_optopt;
static char* cli_group; /* next character of a word of grouped short flags */

void cli_reset(void)
{
    cli_optind = 1;
    cli_optarg = NULL;
    cli_optopt = 0;
    cli_group = NULL;
}

static int missing_argument(const char* optstring)
{
    return optstring[0] == ':' ? ':' : '?';
}

int cli_getopt(int argc, char* const argv[], const char* optstring)
{
    cli_optarg = NULL;
    cli_optopt = 0;
    if (!cli_group) {
        if (cli_optind >= argc)
            return -1;
        char* word = argv[cli_optind];
        if (!word || word[0] != '-' || word[1] == '\0')
            return -1;
        if (strcmp(word, "--") == 0) {
            ++cli_optind;
            return -1;
        }
        cli_group = word + 1;
    }

    char c = *cli_group;
    cli_optopt = (unsigned char)c;
    /* ':' marks arguments in the option string; it is never an option. */
    const char* found = c == ':' ? NULL : strchr(optstring, c);
    if (!found) {
        if (*++cli_group == '\0') {
            cli_group = NULL;
            ++cli_optind;
        }
        return '?';
    }
    if (found[1] == ':') {
        if (cli_group[1] != '\0') {
            cli_optarg = cli_group + 1; /* -m/path */
            ++cli_optind;
        } else if (found[2] == ':') {
            ++cli_optind; /* optional argument, none attached */
        } else if (cli_optind + 1 < argc) {
            cli_optarg = argv[cli_optind + 1];
            cli_optind += 2;
        } else {
            cli_group = NULL;
            ++cli_optind;
            return missing_argument(optstring);
        }
        cli_group = NULL;
        return (unsigned char)c;
    }
    if (*++cli_group == '\0') {
        cli_group = NULL;
        ++cli_optind;
    }
    return (unsigned char)c;
}

int cli_getopt_long(int argc, char* const argv[], const char* optstring, const cli_option* options,
                    int* index)
{
    cli_optarg = NULL;
    cli_optopt = 0;
    if (cli_optind >= argc)
        return -1;
    char* word = argv[cli_optind];
    if (cli_group || !word || word[0] != '-' || word[1] != '-' || word[2] == '\0')
        return cli_getopt(argc, argv, optstring);

    /* "--name" or "--name=value"; a name matches every option it begins */
    const std::string_view text(word + 2);
    const size_t eq = text.find('=');
    const std::string_view name = text.substr(0, eq);
    char* value = eq == std::string_view::npos ? nullptr : word + 2 + eq + 1;
    int match = -1, matches = 0;
    for (int i = 0; options[i].name; ++i) {
        if (std::string_view(options[i].name).substr(0, name.size()) == name) {
            match = i;
            ++matches;
        }
    }
    if (matches != 1) {
        ++cli_optind;
        return '?';
    }
    if (index)
        *index = match;
    const cli_option* o = &options[match];
    cli_optopt = o->val;
    int result = o->val;
    if (o->flag) {
        *o->flag = o->val;
        result = 0;
    }
    switch (o->has_arg) {
    case CLI_NO_ARGUMENT:
        if (value)
            result = '?';
        break;
    case CLI_OPTIONAL_VALUE:
        if (value)
            cli_optarg = value;
        break;
    default:
        if (value) {
            cli_optarg = value;
        } else if (cli_optind + 1 < argc) {
            cli_optarg = argv[cli_optind + 1];
            ++cli_optind;
        } else {
            result = ':';
        }
        break;
    }
    ++cli_optind;
    return result;
}
