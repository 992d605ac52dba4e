// lumidex_user_set: moves every card of one user's address book to another user name.
#include <getopt.h>
#include <unistd.h>

#include <iostream>
#include <string>

static void ShowHelp() {
  std::cerr << "/var/packages/Lumidex/target/tool/lumidex_user_set "
            << "-o [OrgName] "
            << "-n [NewName]" << std::endl;
  std::cerr << "example: lumidex_user_set -o beforechange -n afterchange " << std::endl;
}

int main(int argc, char** argv) {
  std::string orgName;
  std::string newName;
  int option;
  while ((option = getopt(argc, argv, "o:n:")) != -1) {
    switch (option) {
      case 'o':
        orgName = optarg;
        break;
      case 'n':
        newName = optarg;
        break;
      default:
        ShowHelp();
        return -1;
    }
  }
  return 0;
}
