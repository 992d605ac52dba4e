// Stand-in for the appliance's firewall library (liborvafirewall): reloading the rules after a
// service definition changed.
#ifndef ORVAFIREWALL_H
#define ORVAFIREWALL_H

#ifdef __cplusplus
extern "C" {
#endif

// Re-reads the service definitions and loads the rule set they give: every port a service
// claims is open. The loaded set is written to the firewall's rules file. 0 on success;
// negative when a definition cannot be read or is malformed, or the rules cannot be written,
// in which case the rules in force stay as they were.
int ORVAFwRuleHup(void);

#ifdef __cplusplus
}
#endif

#endif  // ORVAFIREWALL_H
