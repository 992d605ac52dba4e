// Run as the contacts page starts to load, before its other scripts arrive: asks at once for
// the listing of the book this tab signed in with, the reply the page waits for longest.
'use strict';

const EarlyListing = (() => {
  const user = Lumidex.signedInAs();
  if (!user) return {user: '', reply: null};
  const reply = Lumidex.call('ORVA.ContactAndCalendar.Contacts', 'list_cards', {user}, undefined, 2, 'cards');
  // A failure is shown by the page when it takes the reply.
  reply.catch(() => {});
  return {user, reply};
})();
