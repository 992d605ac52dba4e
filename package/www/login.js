// Sign-in page: sends the user name and password to the sign-in service and goes on to the
// contacts when the session is open; every refusal is shown in words.
'use strict';

(() => {
  const {auth, describe, ApiError} = Lumidex;
  const $ = (id) => document.getElementById(id);

  function showError(text) {
    const error = $('login-error');
    error.textContent = text;
    error.hidden = false;
    error.focus();
  }

  if (new URLSearchParams(location.search).has('expired')) {
    $('login-info').textContent = 'Your session has ended: you signed out elsewhere, your password was ' +
      'changed, or eight hours passed. Sign in again.';
    $('login-info').hidden = false;
  }

  $('login-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    $('login-error').hidden = true;
    const username = $('username').value.trim();
    const password = $('password').value;
    if (!username || !password) {
      showError('Enter your user name and your password.');
      (username ? $('password') : $('username')).focus();
      return;
    }
    const submit = $('login-submit');
    submit.disabled = true;
    let me;
    try {
      me = await auth('login', {username, password});
    } catch (error) {
      submit.disabled = false;
      if (error instanceof ApiError && error.code === 108) {
        showError('Wrong user name or password.');
        $('password').select();
      } else {
        showError('Signing in failed: ' + describe(error));
      }
      return;
    }
    // The contacts page asks for this name's book before it has heard who is signed in.
    if (me && typeof me.user === 'string') Lumidex.signedInAs(me.user);
    location.assign('/');
  });

  // Someone already signed in goes straight on.
  auth('whoami').then(() => location.replace('/'), () => {});
  $('username').focus();
})();
