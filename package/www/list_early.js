// Run as the contacts page starts to load, before its other scripts arrive: asks at once for
// the listing of the book this tab signed in with, the reply the page waits for longest.
'use strict';

const EarlyListing = (() => {
  const user = Lumidex.signedInAs();
  if (!user) return {user: '', reply: null, follow() {}};
  const read = [];
  let follower = null;
  const reply = Lumidex.call('ORVA.ContactAndCalendar.Contacts', 'list_cards', {user}, undefined, 2, 'cards',
    (records) => (follower ? follower(records) : read.push(records)));
  // A failure is shown by the page when it takes the reply.
  reply.catch(() => {});
  // Hands `take` the records read so far, then each batch as it is read, so that the page
  // works on them while the rest is on its way.
  function follow(take) {
    follower = take;
    for (const records of read.splice(0)) take(records);
  }
  return {user, reply, follow};
})();
