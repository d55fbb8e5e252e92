/* The program's own option parser.  Its long-option has_arg codes are not
 * getopt_long's: 0 takes no separate argument but accepts "=value", 1 takes
 * no argument at all, 2 requires one ("=value" or the next word). */
#ifndef BRINDLECAST_CLI_H
#define BRINDLECAST_CLI_H

#ifdef __cplusplus
extern "C" {
#endif

#define CLI_OPTIONAL_VALUE 0
#define CLI_NO_ARGUMENT 1
#define CLI_REQUIRED_ARGUMENT 2

typedef struct cli_option {
    const char* name; /* without the leading "--"; NULL ends the table */
    int has_arg;
    int* flag; /* when set, a match stores val there and returns 0 */
    int val;
} cli_option;

extern int cli_optind;   /* next word, starts at 1 */
extern char* cli_optarg; /* argument of the current option, or NULL */
extern int cli_optopt;   /* option character last looked at */

int cli_getopt(int argc, char* const argv[], const char* optstring);
int cli_getopt_long(int argc, char* const argv[], const char* optstring, const cli_option* options,
                    int* index);

/* Starts parsing afresh at word 1 (for running the parser more than once). */
void cli_reset(void);

#ifdef __cplusplus
}
#endif

#endif
