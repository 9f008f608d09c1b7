// The message view and quick writing in Chromium, on mail fetched from the real Dovecot
// peer: a message with Cc, its own date, a picture and a text file, and quotes three levels
// deep (the third folded); the picture's thumbnail and "Open" served to this session only;
// then writing with the contacts completing the recipients, two files attached at once,
// one more dropped on the page and one removed, and the message sent with its files.
// Screenshots of both pages at desktop and phone size.
// Usage: node message_view_test.mjs <kestrune> <output dir>
import assert from "node:assert/strict";
import { writeFileSync } from "node:fs";
import path from "node:path";
import {
  openBrowser, runServerTest, startPeers, testArguments, textOf,
} from "./kestrune_server.mjs";

const { serverPath, outputDir } = testArguments();
const peers = startPeers();
peers.deliver(
  "From: Ann Example <ann@example.test>\r\nTo: viewer@example.test\r\n" +
  "Cc: Carol Jones <carol@example.test>, dan@example.test\r\n" +
  "Subject: Photos from the trip\r\nDate: Thu, 10 Dec 2026 09:30:00 +0000\r\n" +
  "Message-ID: <trip.1@example.test>\r\nMIME-Version: 1.0\r\n" +
  "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n" +
  "--b\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n" +
  "Here they are, with the long thread below.\r\n\r\n" +
  "> Did you take pictures?\r\n> I want to see the lake.\r\n" +
  ">> We are back on Sunday.\r\n" +
  ">>> When are you back?\r\n>>> Bring photos!\r\n\r\nAnn\r\n" +
  "--b\r\nContent-Type: image/png\r\n" +
  "Content-Disposition: attachment; filename=\"lake-at-sunset-with-a-rather-long-file-name.png\"\r\n" +
  "Content-Transfer-Encoding: base64\r\n\r\n" +
  "iVBORw0KGgoAAAANSUhEUgAAAGAAAABACAIAAABqVuVZAAAxsElEQVR4nAzQ8Uc7DQDA4WlyNDma\r\njCajyWgymowmo8loMpqMFqPFaDFajBZHi9FitBgt9tFitJgsThaTxclispgsJm8kIhGJfni/z5/w\r\nqFQqelT0qhBU9KnoVyGqGFAxqEKnYkjFsAqDihEVoypMKsZUjKuwqJhQManCpmJKxbQKh4oZFbMq\r\nXCrmVMyr8KhYULGowqdiScWyioCKFRWrKkIq1lSsq4io2FCxqSKmYkvFtgpJxY6KXRVJFXsq9lWk\r\nVRyoOFSRVXGk4lhFXsWJilMVRRVnKs5VlFVcqLhUIau4UnGtoqbiRsWtCkXFnYp7FU0VDyoeVbRV\r\nPKl4VtFV8aLiVcWbincVHyo+VXyp+Fbxo+JXxZ8KlUpNj5peNYKaPjX9akQ1A2oG1ejUDKkZVmNQ\r\nM6JmVI1JzZiacTUWNRNqJtXY1EypmVbjUDOjZlaNS82cmnk1HjULahbV+NQsqVlWE1CzomZVTUjN\r\nmpp1NRE1G2o21cTUbKnZViOp2VGzqyapZk/Nvpq0mgM1h2qyao7UHKvJqzlRc6qmqOZMzbmaspoL\r\nNZdqZDVXaq7V1NTcqLlVo6i5U3OvpqnmQc2jmraaJzXParpqXtS8qnlT867mQ82nmi8132p+1Pyq\r\n+VP/CxLoEegVEAT6BPoFRIEBgUEBncCQwLCAQWBEYFTAJDAmMC5gEZgQmBSwCUwJTAs4BGYEZgVc\r\nAnMC8wIegQWBRQGfwJLAskBAYEVgVSAksCawLhAR2BDYFIgJbAlsC0gCOwK7AkmBPYF9gbTAgcCh\r\nQFbgSOBYIC9wInAqUBQ4EzgXKAtcCFwKyAJXAtcCNYEbgVsBReBO4F6gKfAg8CjQFngSeBboCrwI\r\nvAq8CbwLfAh8CnwJfAv8CPwK/An/gjT0aOjVIGjo09CvQdQwoGFQg07DkIZhDQYNIxpGNZg0jGkY\r\n12DRMKFhUoNNw5SGaQ0ODTMaZjW4NMxpmNfg0bCgYVGDT8OShmUNAQ0rGlY1hDSsaVjXENGwoWFT\r\nQ0zDloZtDZKGHQ27GpIa9jTsa0hrONBwqCGr4UjDsYa8hhMNpxqKGs40nGsoa7jQcKlB1nCl4VpD\r\nTcONhlsNioY7DfcamhoeNDxqaGt40vCsoavhRcOrhjcN7xo+NHxq+NLwreFHw6+GP82/IJEekV4R\r\nQaRPpF9EFBkQGRTRiQyJDIsYREZERkVMImMi4yIWkQmRSRGbyJTItIhDZEZkVsQlMicyL+IRWRBZ\r\nFPGJLIksiwREVkRWRUIiayLrIhGRDZFNkZjIlsi2iCSyI7IrkhTZE9kXSYsciByKZEWORI5F8iIn\r\nIqciRZEzkXORssiFyKWILHIlci1SE7kRuRVRRO5E7kWaIg8ijyJtkSeRZ5GuyIvIq8ibyLvIh8in\r\nyJfIt8iPyK/In/gvSEuPll4tgpY+Lf1aRC0DWga16LQMaRnWYtAyomVUi0nLmJZxLRYtE1omtdi0\r\nTGmZ1uLQMqNlVotLy5yWeS0eLQtaFrX4tCxpWdYS0LKiZVVLSMualnUtES0bWja1xLRsadnWImnZ\r\n0bKrJallT8u+lrSWAy2HWrJajrQca8lrOdFyqqWo5UzLuZaylgstl1pkLVdarrXUtNxoudWiaLnT\r\ncq+lqeVBy6OWtpYnLc9aulpetLxqedPyruVDy6eWLy3fWn60/Gr50/4L0tGjo1eHoKNPR78OUceA\r\njkEdOh1DOoZ1GHSM6BjVYdIxpmNch0XHhI5JHTYdUzqmdTh0zOiY1eHSMadjXodHx4KORR0+HUs6\r\nlnUEdKzoWNUR0rGmY11HRMeGjk0dMR1bOrZ1SDp2dOzqSOrY07GvI63jQMehjqyOIx3HOvI6TnSc\r\n6ijqONNxrqOs40LHpQ5Zx5WOax01HTc6bnUoOu503Oto6njQ8aijreNJx7OOro4XHa863nS86/jQ\r\n8anjS8e3jh8dvzr+dP+C9PTo6dUj6OnT069H1DOgZ1CPTs+QnmE9Bj0jekb1mPSM6RnXY9EzoWdS\r\nj03PlJ5pPQ49M3pm9bj0zOmZ1+PRs6BnUY9Pz5KeZT0BPSt6VvWE9KzpWdcT0bOhZ1NPTM+Wnm09\r\nkp4dPbt6knr29OzrSes50HOoJ6vnSM+xnryeEz2neop6zvSc6ynrudBzqUfWc6XnWk9Nz42eWz2K\r\nnjs993qaeh70POpp63nS86ynq+dFz6ueNz3vej70fOr50vOt50fPr54//b8gAz0Geg0IBvoM9BsQ\r\nDQwYGDSgMzBkYNiAwcCIgVEDJgNjBsYNWAxMGJg0YDMwZWDagMPAjIFZAy4DcwbmDXgMLBhYNOAz\r\nsGRg2UDAwIqBVQMhA2sG1g1EDGwY2DQQM7BlYNuAZGDHwK6BpIE9A/sG0gYODBwayBo4MnBsIG/g\r\nxMCpgaKBMwPnBsoGLgxcGpANXBm4NlAzcGPg1oBi4M7AvYGmgQcDjwbaBp4MPBvoGngx8GrgzcC7\r\ngQ8Dnwa+DHwb+DHwa+DP8C/ISI+RXiOCkT4j/UZEIwNGBo3ojAwZGTZiMDJiZNSIyciYkXEjFiMT\r\nRiaN2IxMGZk24jAyY2TWiMvInJF5Ix4jC0YWjfiMLBlZNhIwsmJk1UjIyJqRdSMRIxtGNo3EjGwZ\r\n2TYiGdkxsmskaWTPyL6RtJEDI4dGskaOjBwbyRs5MXJqpGjkzMi5kbKRCyOXRmQjV0aujdSM3Bi5\r\nNaIYuTNyb6Rp5MHIo5G2kScjz0a6Rl6MvBp5M/Ju5MPIp5EvI99Gfoz8Gvkz/gsy0WOi14Rgos9E\r\nvwnRxICJQRM6E0Mmhk0YTIyYGDVhMjFmYtyExcSEiUkTNhNTJqZNOEzMmJg14TIxZ2LehMfEgolF\r\nEz4TSyaWTQRMrJhYNREysWZi3UTExIaJTRMxE1smtk1IJnZM7JpImtgzsW8ibeLAxKGJrIkjE8cm\r\n8iZOTJyaKJo4M3FuomziwsSlCdnElYlrEzUTNyZuTSgm7kzcm2iaeDDxaKJt4snEs4muiRcTrybe\r\nTLyb+DDxaeLLxLeJHxO/Jv5M/4LM9JjpNSOY6TPTb0Y0M2Bm0IzOzJCZYTMGMyNmRs2YzIyZGTdj\r\nMTNhZtKMzcyUmWkzDjMzZmbNuMzMmZk34zGzYGbRjM/MkpllMwEzK2ZWzYTMrJlZNxMxs2Fm00zM\r\nzJaZbTOSmR0zu2aSZvbM7JtJmzkwc2gma+bIzLGZvJkTM6dmimbOzJybKZu5MHNpRjZzZebaTM3M\r\njZlbM4qZOzP3ZppmHsw8mmmbeTLzbKZr5sXMq5k3M+9mPsx8mvky823mx8yvmT/zvyALPRZ6LQgW\r\n+iz0WxAtDFgYtKCzMGRh2ILBwoiFUQsmC2MWxi1YLExYmLRgszBlYdqCw8KMhVkLLgtzFuYteCws\r\nWFi04LOwZGHZQsDCioVVCyELaxbWLUQsbFjYtBCzsGVh24JkYcfCroWkhT0L+xbSFg4sHFrIWjiy\r\ncGwhb+HEwqmFooUzC+cWyhYuLFxakC1cWbi2ULNwY+HWgmLhzsK9haaFBwuPFtoWniw8W+haeLHw\r\nauHNwruFDwufFr4sfFv4sfBr4c/yL8hKj5VeK4KVPiv9VkQrA1YGreisDFkZtmKwMmJl1IrJypiV\r\ncSsWKxNWJq3YrExZmbbisDJjZdaKy8qclXkrHisLVhat+KwsWVm2ErCyYmXVSsjKmpV1KxErG1Y2\r\nrcSsbFnZtiJZ2bGyayVpZc/KvpW0lQMrh1ayVo6sHFvJWzmxcmqlaOXMyrmVspULK5dWZCtXVq6t\r\n1KzcWLm1oli5s3JvpWnlwcqjlbaVJyvPVrpWXqy8Wnmz8m7lw8qnlS8r31Z+rPxa+bP+C7LRY6PX\r\nhmCjz0a/DdHGgI1BGzobQzaGbRhsjNgYtWGyMWZj3IbFxoSNSRs2G1M2pm04bMzYmLXhsjFnY96G\r\nx8aCjUUbPhtLNpZtBGys2Fi1EbKxZmPdRsTGho1NGzEbWza2bUg2dmzs2kja2LOxbyNt48DGoY2s\r\njSMbxzbyNk5snNoo2jizcW6jbOPCxqUN2caVjWsbNRs3Nm5tKDbubNzbaNp4sPFoo23jycazja6N\r\nFxuvNt5svNv4sPFp48vGt40fG782/mz/guz02Om1I9jps9NvR7QzYGfQjs7OkJ1hOwY7I3ZG7Zjs\r\njNkZt2OxM2Fn0o7NzpSdaTsOOzN2Zu247MzZmbfjsbNgZ9GOz86SnWU7ATsrdlbthOys2Vm3E7Gz\r\nYWfTTszOlp1tO5KdHTu7dpJ29uzs20nbObBzaCdr58jOsZ28nRM7p3aKds7snNsp27mwc2lHtnNl\r\n59pOzc6NnVs7ip07O/d2mnYe7Dzaadt5svNsp2vnxc6rnTc773Y+7Hza+bLzbefHzq+dP/u/IAc9\r\nDnodCA76HPQ7EB0MOBh0oHMw5GDYgcHBiINRByYHYw7GHVgcTDiYdGBzMOVg2oHDwYyDWQcuB3MO\r\n5h14HCw4WHTgc7DkYNlBwMGKg1UHIQdrDtYdRBxsONh0EHOw5WDbgeRgx8Gug6SDPQf7DtIODhwc\r\nOsg6OHJw7CDv4MTBqYOigzMH5w7KDi4cXDqQHVw5uHZQc3Dj4NaB4uDOwb2DpoMHB48O2g6eHDw7\r\n6Dp4cfDq4M3Bu4MPB58Ovhx8O/hx8Ovgz/EvyEmPk14ngpM+J/1ORCcDTgad6JwMORl2YnAy4mTU\r\nicnJmJNxJxYnE04mndicTDmZduJwMuNk1onLyZyTeSceJwtOFp34nCw5WXYScLLiZNVJyMmak3Un\r\nEScbTjadxJxsOdl2IjnZcbLrJOlkz8m+k7STAyeHTrJOjpwcO8k7OXFy6qTo5MzJuZOykwsnl05k\r\nJ1dOrp3UnNw4uXWiOLlzcu+k6eTByaOTtpMnJ89Ouk5enLw6eXPy7uTDyaeTLyffTn6c/Dr5c/4L\r\nctHjoteF4KLPRb8L0cWAi0EXOhdDLoZdGFyMuBh1YXIx5mLchcXFhItJFzYXUy6mXThczLiYdeFy\r\nMedi3oXHxYKLRRc+F0sull0EXKy4WHURcrHmYt1FxMWGi00XMRdbLrZdSC52XOy6SLrYc7HvIu3i\r\nwMWhi6yLIxfHLvIuTlycuii6OHNx7qLs4sLFpQvZxZWLaxc1Fzcubl0oLu5c3Ltounhw8eii7eLJ\r\nxbOLrosXF68u3ly8u/hw8eniy8W3ix8Xvy7+XP+C3PS46XUjuOlz0+9GdDPgZtCNzs2Qm2E3Bjcj\r\nbkbdmNyMuRl3Y3Ez4WbSjc3NlJtpNw43M25m3bjczLmZd+Nxs+Bm0Y3PzZKbZTcBNytuVt2E3Ky5\r\nWXcTcbPhZtNNzM2Wm203kpsdN7tukm723Oy7Sbs5cHPoJuvmyM2xm7ybEzenbopuztycuym7uXBz\r\n6UZ2c+Xm2k3NzY2bWzeKmzs3926abh7cPLppu3ly8+ym6+bFzaubNzfvbj7cfLr5cvPt5sfNr5s/\r\n978gDz0eej0IHvo89HsQPQx4GPSg8zDkYdiDwcOIh1EPJg9jHsY9WDxMeJj0YPMw5WHag8PDjIdZ\r\nDy4Pcx7mPXg8LHhY9ODzsORh2UPAw4qHVQ8hD2se1j1EPGx42PQQ87DlYduD5GHHw66HpIc9D/se\r\n0h4OPBx6yHo48nDsIe/hxMOph6KHMw/nHsoeLjxcepA9XHm49lDzcOPh1oPi4c7DvYemhwcPjx7a\r\nHp48PHvoenjx8OrhzcO7hw8Pnx6+PHx7+PHw6+HP8y/IS4+XXi+Clz4v/V5ELwNeBr3ovAx5GfZi\r\n8DLiZdSLycuYl3EvFi8TXia92LxMeZn24vAy42XWi8vLnJd5Lx4vC14Wvfi8LHlZ9hLwsuJl1UvI\r\ny5qXdS8RLxteNr3EvGx52fYiednxsusl6WXPy76XtJcDL4desl6OvBx7yXs58XLqpejlzMu5l7KX\r\nCy+XXmQvV16uvdS83Hi59aJ4ufNy76Xp5cHLo5e2lycvz166Xl68vHp58/Lu5cPLp5cvL99efrz8\r\nevnz/gvy0eOj14fgo89Hvw/Rx4CPQR86H0M+hn0YfIz4GPVh8jHmY9yHxceEj0kfNh9TPqZ9OHzM\r\n+Jj14fIx52Peh8fHgo9FHz4fSz6WfQR8rPhY9RHyseZj3UfEx4aPTR8xH1s+tn1IPnZ87PpI+tjz\r\nse8j7ePAx6GPrI8jH8c+8j5OfJz6KPo483Huo+zjwselD9nHlY9rHzUfNz5ufSg+7nzc+2j6ePDx\r\n6KPt48nHs4+ujxcfrz7efLz7+PDx6ePLx7ePHx+/Pv58/4L89Pjp9SP46fPT70f0M+Bn0I/Oz5Cf\r\nYT8GPyN+Rv2Y/Iz5Gfdj8TPhZ9KPzc+Un2k/Dj8zfmb9uPzM+Zn34/Gz4GfRj8/Pkp9lPwE/K35W\r\n/YT8rPlZ9xPxs+Fn00/Mz5afbT+Snx0/u36Sfvb87PtJ+znwc+gn6+fIz7GfvJ8TP6d+in7O/Jz7\r\nKfu58HPpR/Zz5efaT83PjZ9bP4qfOz/3fpp+Hvw8+mn7efLz7Kfr58XPq583P+9+Pvx8+vny8+3n\r\nx8+vnz//v6AAPQF6AwgB+gL0BxADDAQYDKALMBRgOIAhwEiA0QCmAGMBxgNYAkwEmAxgCzAVYDqA\r\nI8BMgNkArgBzAeYDeAIsBFgM4AuwFGA5QCDASoDVAKEAawHWA0QCbATYDBALsBVgO4AUYCfAboBk\r\ngL0A+wHSAQ4CHAbIBjgKcBwgH+AkwGmAYoCzAOcBygEuAlwGkANcBbgOUAtwE+A2gBLgLsB9gGaA\r\nhwCPAdoBngI8B+gGeAnwGuAtwHuAjwCfAb4CfAf4CfAb4C/wLyhIT5DeIEKQviD9QcQgA0EGg+iC\r\nDAUZDmIIMhJkNIgpyFiQ8SCWIBNBJoPYgkwFmQ7iCDITZDaIK8hckPkgniALQRaD+IIsBVkOEgiy\r\nEmQ1SCjIWpD1IJEgG0E2g8SCbAXZDiIF2QmyGyQZZC/IfpB0kIMgh0GyQY6CHAfJBzkJchqkGOQs\r\nyHmQcpCLIJdB5CBXQa6D1ILcBLkNogS5C3IfpBnkIchjkHaQpyDPQbpBXoK8BnkL8h7kI8hnkK8g\r\n30F+gvwG+Qv+CwrRE6I3hBCiL0R/CDHEQIjBELoQQyGGQxhCjIQYDWEKMRZiPIQlxESIyRC2EFMh\r\npkM4QsyEmA3hCjEXYj6EJ8RCiMUQvhBLIZZDBEKshFgNEQqxFmI9RCTERojNELEQWyG2Q0ghdkLs\r\nhkiG2AuxHyId4iDEYYhsiKMQxyHyIU5CnIYohjgLcR6iHOIixGUIOcRViOsQtRA3IW5DKCHuQtyH\r\naIZ4CPEYoh3iKcRziG6IlxCvId5CvIf4CPEZ4ivEd4ifEL8h/kL/gsL0hOkNI4TpC9MfRgwzEGYw\r\njC7MUJjhMIYwI2FGw5jCjIUZD2MJMxFmMowtzFSY6TCOMDNhZsO4wsyFmQ/jCbMQZjGML8xSmOUw\r\ngTArYVbDhMKshVkPEwmzEWYzTCzMVpjtMFKYnTC7YZJh9sLsh0mHOQhzGCYb5ijMcZh8mJMwp2GK\r\nYc7CnIcph7kIcxlGDnMV5jpMLcxNmNswSpi7MPdhmmEewjyGaYd5CvMcphvmJcxrmLcw72E+wnyG\r\n+QrzHeYnzG+Yv/C/oAg9EXojCBH6IvRHECMMRBiMoIswFGE4giHCSITRCKYIYxHGI1giTESYjGCL\r\nMBVhOoIjwkyE2QiuCHMR5iN4IixEWIzgi7AUYTlCIMJKhNUIoQhrEdYjRCJsRNiMEIuwFWE7ghRh\r\nJ8JuhGSEvQj7EdIRDiIcRshGOIpwHCEf4STCaYRihLMI5xHKES4iXEaQI1xFuI5Qi3AT4TaCEuEu\r\nwn2EZoSHCI8R2hGeIjxH6EZ4ifAa4S3Ce4SPCJ8RviJ8R/iJ8BvhL/IvKEpPlN4oQpS+KP1RxCgD\r\nUQaj6KIMRRmOYogyEmU0iinKWJTxKJYoE1Emo9iiTEWZjuKIMhNlNoorylyU+SieKAtRFqP4oixF\r\nWY4SiLISZTVKKMpalPUokSgbUTajxKJsRdmOIkXZibIbJRllL8p+lHSUgyiHUbJRjqIcR8lHOYly\r\nGqUY5SzKeZRylIsol1HkKFdRrqPUotxEuY2iRLmLch+lGeUhymOUdpSnKM9RulFeorxGeYvyHuUj\r\nymeUryjfUX6i/Eb5i/4LitETozeGEKMvRn8MMcZAjMEYuhhDMYZjGGKMxBiNYYoxFmM8hiXGRIzJ\r\nGLYYUzGmYzhizMSYjeGKMRdjPoYnxkKMxRi+GEsxlmMEYqzEWI0RirEWYz1GJMZGjM0YsRhbMbZj\r\nSDF2YuzGSMbYi7EfIx3jIMZhjGyMoxjHMfIxTmKcxijGOItxHqMc4yLGZQw5xlWM6xi1GDcxbmMo\r\nMe5i3MdoxniI8RijHeMpxnOMboyXGK8x3mK8x/iI8RnjK8Z3jJ8YvzH+Yv+C4vTE6Y0jxOmL0x9H\r\njDMQZzCOLs5QnOE4hjgjcUbjmOKMxRmPY4kzEWcyji3OVJzpOI44M3Fm47jizMWZj+OJsxBnMY4v\r\nzlKc5TiBOCtxVuOE4qzFWY8TibMRZzNOLM5WnO04UpydOLtxknH24uzHScc5iHMYJxvnKM5xnHyc\r\nkzincYpxzuKcxynHuYhzGUeOcxXnOk4tzk2c2zhKnLs493GacR7iPMZpx3mK8xynG+clzmuctzjv\r\ncT7ifMb5ivMd5yfOb5y/+L8giR6JXglBok+iX0KUGJAYlNBJDEkMSxgkRiRGJUwSYxLjEhaJCYlJ\r\nCZvElMS0hENiRmJWwiUxJzEv4ZFYkFiU8EksSSxLBCRWJFYlQhJrEusSEYkNiU2JmMSWxLaEJLEj\r\nsSuRlNiT2JdISxxIHEpkJY4kjiXyEicSpxJFiTOJc4myxIXEpYQscSVxLVGTuJG4lVAk7iTuJZoS\r\nDxKPEm2JJ4lnia7Ei8SrxJvEu8SHxKfEl8S3xI/Er8Sf9C8oQU+C3gRCgr4E/QnEBAMJBhPoEgwl\r\nGE5gSDCSYDSBKcFYgvEElgQTCSYT2BJMJZhO4Egwk2A2gSvBXIL5BJ4ECwkWE/gSLCVYThBIsJJg\r\nNUEowVqC9QSRBBsJNhPEEmwl2E4gJdhJsJsgmWAvwX6CdIKDBIcJsgmOEhwnyCc4SXCaoJjgLMF5\r\ngnKCiwSXCeQEVwmuE9QS3CS4TaAkuEtwn6CZ4CHBY4J2gqcEzwm6CV4SvCZ4S/Ce4CPBZ4KvBN8J\r\nfhL8JvhL/AtK0pOkN4mQpC9JfxIxyUCSwSS6JENJhpMYkowkGU1iSjKWZDyJJclEkskktiRTSaaT\r\nOJLMJJlN4koyl2Q+iSfJQpLFJL4kS0mWkwSSrCRZTRJKspZkPUkkyUaSzSSxJFtJtpNISXaS7CZJ\r\nJtlLsp8kneQgyWGSbJKjJMdJ8klOkpwmKSY5S3KepJzkIsllEjnJVZLrJLUkN0lukyhJ7pLcJ2km\r\neUjymKSd5CnJc5Jukpckr0nekrwn+UjymeQryXeSnyS/Sf6S/4JS9KToTSGk6EvRn0JMMZBiMIUu\r\nxVCK4RSGFCMpRlOYUoylGE9hSTGRYjKFLcVUiukUjhQzKWZTuFLMpZhP4UmxkGIxhS/FUorlFIEU\r\nKylWU4RSrKVYTxFJsZFiM0UsxVaK7RRSip0UuymSKfZS7KdIpzhIcZgim+IoxXGKfIqTFKcpiinO\r\nUpynKKe4SHGZQk5xleI6RS3FTYrbFEqKuxT3KZopHlI8pmineErxnKKb4iXFa4q3FO8pPlJ8pvhK\r\n8Z3iJ8Vvir/Uv6A0PWl60whp+tL0pxHTDKQZTKNLM5RmOI0hzUia0TSmNGNpxtNY0kykmUxjSzOV\r\nZjqNI81Mmtk0rjRzaebTeNIspFlM40uzlGY5TSDNSprVNKE0a2nW00TSbKTZTBNLs5VmO42UZifN\r\nbppkmr00+2nSaQ7SHKbJpjlKc5wmn+YkzWmaYpqzNOdpymku0lymkdNcpblOU0tzk+Y2jZLmLs19\r\nmmaahzSPadppntI8p+mmeUnzmuYtzXuajzSfab7SfKf5SfOb5i/9LyhDT4beDEKGvgz9GcQMAxkG\r\nM+gyDGUYzmDIMJJhNIMpw1iG8QyWDBMZJjPYMkxlmM7gyDCTYTaDK8NchvkMngwLGRYz+DIsZVjO\r\nEMiwkmE1QyjDWob1DJEMGxk2M8QybGXYziBl2MmwmyGZYS/DfoZ0hoMMhxmyGY4yHGfIZzjJcJqh\r\nmOEsw3mGcoaLDJcZ5AxXGa4z1DLcZLjNoGS4y3CfoZnhIcNjhnaGpwzPGboZXjK8ZnjL8J7hI8Nn\r\nhq8M3xl+Mvxm+Mv8C8rSk6U3i5ClL0t/FjHLQJbBLLosQ1mGsxiyjGQZzWLKMpZlPIsly0SWySy2\r\nLFNZprM4ssxkmc3iyjKXZT6LJ8tClsUsvixLWZazBLKsZFnNEsqylmU9SyTLRpbNLLEsW1m2s0hZ\r\ndrLsZklm2cuynyWd5SDLYZZslqMsx1nyWU6ynGYpZjnLcp6lnOUiy2UWOctVlusstSw3WW6zKFnu\r\nstxnaWZ5yPKYpZ3lKctzlm6WlyyvWd6yvGf5yPKZ5SvLd5afLL9Z/rL/gnL05OjNIeToy9GfQ8wx\r\nkGMwhy7HUI7hHIYcIzlGc5hyjOUYz2HJMZFjMoctx1SO6RyOHDM5ZnO4cszlmM/hybGQYzGHL8dS\r\njuUcgRwrOVZzhHKs5VjPEcmxkWMzRyzHVo7tHFKOnRy7OZI59nLs50jnOMhxmCOb4yjHcY58jpMc\r\npzmKOc5ynOco57jIcZlDznGV4zpHLcdNjtscSo67HPc5mjkecjzmaOd4yvGco5vjJcdrjrcc7zk+\r\ncnzm+MrxneMnx2+Ov9y/oDw9eXrzCHn68vTnEfMM5BnMo8szlGc4jyHPSJ7RPKY8Y3nG81jyTOSZ\r\nzGPLM5VnOo8jz0ye2TyuPHN55vN48izkWczjy7OUZzlPIM9KntU8oTxredbzRPJs5NnME8uzlWc7\r\nj5RnJ89unmSevTz7edJ5DvIc5snmOcpznCef5yTPaZ5inrM853nKeS7yXOaR81zluc5Ty3OT5zaP\r\nkucuz32eZp6HPI952nme8jzn6eZ5yfOa5y3Pe56PPJ95vvJ85/nJ85vnL/8vqEBPgd4CQoG+Av0F\r\nxAIDBQYL6AoMFRguYCgwUmC0gKnAWIHxApYCEwUmC9gKTBWYLuAoMFNgtoCrwFyB+QKeAgsFFgv4\r\nCiwVWC4QKLBSYLVAqMBagfUCkQIbBTYLxApsFdguIBXYKbBbIFlgr8B+gXSBgwKHBbIFjgocF8gX\r\nOClwWqBY4KzAeYFygYsClwXkAlcFrgvUCtwUuC2gFLgrcF+gWeChwGOBdoGnAs8FugVeCrwWeCvw\r\nXuCjwGeBrwLfBX4K/Bb4K/wLKtJTpLeIUKSvSH8RschAkcEiuiJDRYaLGIqMFBktYioyVmS8iKXI\r\nRJHJIrYiU0WmiziKzBSZLeIqMldkvoinyEKRxSK+IktFlosEiqwUWS0SKrJWZL1IpMhGkc0isSJb\r\nRbaLSEV2iuwWSRbZK7JfJF3koMhhkWyRoyLHRfJFToqcFikWOStyXqRc5KLIZRG5yFWR6yK1IjdF\r\nbosoRe6K3BdpFnko8likXeSpyHORbpGXIq9F3oq8F/ko8lnkq8h3kZ8iv0X+iv+CSvSU6C0hlOgr\r\n0V9CLDFQYrCErsRQieEShhIjJUZLmEqMlRgvYSkxUWKyhK3EVInpEo4SMyVmS7hKzJWYL+EpsVBi\r\nsYSvxFKJ5RKBEislVkuESqyVWC8RKbFRYrNErMRWie0SUomdErslkiX2SuyXSJc4KHFYIlviqMRx\r\niXyJkxKnJYolzkqclyiXuChxWUIucVXiukStxE2J2xJKibsS9yWaJR5KPJZol3gq8VyiW+KlxGuJ\r\ntxLvJT5KfJb4KvFd4qfEb4m/0r+gMj1lessIZfrK9JcRywyUGSyjKzNUZriMocxImdEypjJjZcbL\r\nWMpMlJksYyszVWa6jKPMTJnZMq4yc2Xmy3jKLJRZLOMrs1RmuUygzEqZ1TKhMmtl1stEymyU2SwT\r\nK7NVZruMVGanzG6ZZJm9Mvtl0mUOyhyWyZY5KnNcJl/mpMxpmWKZszLnZcplLspclpHLXJW5LlMr\r\nc1PmtoxS5q7MfZlmmYcyj2XaZZ7KPJfplnkp81rmrcx7mY8yn2W+ynyX+SnzW+av/C+oQk+F3gpC\r\nhb4K/RXECgMVBivoKgxVGK5gqDBSYbSCqcJYhfEKlgoTFSYr2CpMVZiu4KgwU2G2gqvCXIX5Cp4K\r\nCxUWK/gqLFVYrhCosFJhtUKowlqF9QqRChsVNivEKmxV2K4gVdipsFshWWGvwn6FdIWDCocVshWO\r\nKhxXyFc4qXBaoVjhrMJ5hXKFiwqXFeQKVxWuK9Qq3FS4raBUuKtwX6FZ4aHCY4V2hacKzxW6FV4q\r\nvFZ4q/Be4aPCZ4WvCt8Vfir8Vvir/AuS6ZHplRFk+mT6ZUSZAZlBGZ3MkMywjEFmRGZUxiQzJjMu\r\nY5GZkJmUsclMyUzLOGRmZGZlXDJzMvMyHpkFmUUZn8ySzLJMQGZFZlUmJLMmsy4TkdmQ2ZSJyWzJ\r\nbMtIMjsyuzJJmT2ZfZm0zIHMoUxW5kjmWCYvcyJzKlOUOZM5lynLXMhcysgyVzLXMjWZG5lbGUXm\r\nTuZepinzIPMo05Z5knmW6cq8yLzKvMm8y3zIfMp8yXzL/Mj8yvzJ/4Kq9FTprSJU6avSX0WsMlBl\r\nsIquylCV4SqGKiNVRquYqoxVGa9iqTJRZbKKrcpUlekqjiozVWaruKrMVZmv4qmyUGWxiq/KUpXl\r\nKoEqK1VWq4SqrFVZrxKpslFls0qsylaV7SpSlZ0qu1WSVfaq7FdJVzmoclglW+WoynGVfJWTKqdV\r\nilXOqpxXKVe5qHJZRa5yVeW6Sq3KTZXbKkqVuyr3VZpVHqo8VmlXearyXKVb5aXKa5W3Ku9VPqp8\r\nVvmq8l3lp8pvlb/qv6AaPTV6awg1+mr01xBrDNQYrKGrMVRjuIahxkiN0RqmGmM1xmtYakzUmKxh\r\nqzFVY7qGo8ZMjdkarhpzNeZreGos1Fis4auxVGO5RqDGSo3VGqEaazXWa0RqbNTYrBGrsVVju4ZU\r\nY6fGbo1kjb0a+zXSNQ5qHNbI1jiqcVwjX+OkxmmNYo2zGuc1yjUualzWkGtc1biuUatxU+O2hlLj\r\nrsZ9jWaNhxqPNdo1nmo81+jWeKnxWuOtxnuNjxqfNb5qfNf4qfFb46/2L6hOT53eOkKdvjr9dcQ6\r\nA3UG6+jqDNUZrmOoM1JntI6pzlid8TqWOhN1JuvY6kzVma7jqDNTZ7aOq85cnfk6njoLdRbr+Oos\r\n1VmuE6izUme1TqjOWp31OpE6G3U268TqbNXZriPV2amzWydZZ6/Ofp10nYM6h3WydY7qHNfJ1zmp\r\nc1qnWOesznmdcp2LOpd15DpXda7r1Orc1Lmto9S5q3Nfp1nnoc5jnXadpzrPdbp1Xuq81nmr817n\r\no85nna8633V+6vzW+av/C1LoUehVEBT6FPoVRIUBhUEFncKQwrCCQWFEYVTBpDCmMK5gUZhQmFSw\r\nKUwpTCs4FGYUZhVcCnMK8woehQWFRQWfwpLCskJAYUVhVSGksKawrhBR2FDYVIgpbClsK0gKOwq7\r\nCkmFPYV9hbTCgcKhQlbhSOFYIa9wonCqUFQ4UzhXKCtcKFwqyApXCtcKNYUbhVsFReFO4V6hqfCg\r\n8KjQVnhSeFboKrwovCq8KbwrfCh8KnwpfCv8KPwq/Cn/ghr0NOhtIDToa9DfQGww0GCwga7BUIPh\r\nBoYGIw1GG5gajDUYb2BpMNFgsoGtwVSD6QaOBjMNZhu4Gsw1mG/gabDQYLGBr8FSg+UGgQYrDVYb\r\nhBqsNVhvEGmw0WCzQazBVoPtBlKDnQa7DZIN9hrsN0g3OGhw2CDb4KjBcYN8g5MGpw2KDc4anDco\r\nN7hocNlAbnDV4LpBrcFNg9sGSoO7BvcNmg0eGjw2aDd4avDcoNvgpcFrg7cG7w0+Gnw2+Grw3eCn\r\nwW+Dv8a/oCY9TXqbCE36mvQ3EZsMNBlsomsy1GS4iaHJSJPRJqYmY03Gm1iaTDSZbGJrMtVkuomj\r\nyUyT2SauJnNN5pt4miw0WWzia7LUZLlJoMlKk9UmoSZrTdabRJpsNNlsEmuy1WS7idRkp8luk2ST\r\nvSb7TdJNDpocNsk2OWpy3CTf5KTJaZNik7Mm503KTS6aXDaRm1w1uW5Sa3LT5LaJ0uSuyX2TZpOH\r\nJo9N2k2emjw36TZ5afLa5K3Je5OPJp9Nvpp8N/lp8tvkr/kvqEVPi94WQou+Fv0txBYDLQZb6FoM\r\ntRhuYWgx0mK0hanFWIvxFpYWEy0mW9haTLWYbuFoMdNitoWrxVyL+RaeFgstFlv4Wiy1WG4RaLHS\r\nYrVFqMVai/UWkRYbLTZbxFpstdhuIbXYabHbItlir8V+i3SLgxaHLbItjloct8i3OGlx2qLY4qzF\r\neYtyi4sWly3kFlctrlvUWty0uG2htLhrcd+i2eKhxWOLdounFs8tui1eWry2eGvx3uKjxWeLrxbf\r\nLX5a/Lb4a/0LatPTpreN0KavTX8bsc1Am8E2ujZDbYbbGNqMtBltY2oz1ma8jaXNRJvJNrY2U22m\r\n2zjazLSZbeNqM9dmvo2nzUKbxTa+NkttltsE2qy0WW0TarPWZr1NpM1Gm802sTZbbbbbSG122uy2\r\nSbbZa7PfJt3moM1hm2ybozbHbfJtTtqctim2OWtz3qbc5qLNZRu5zVWb6za1Njdtbtsobe7a3Ldp\r\ntnlo89im3eapzXObbpuXNq9t3tq8t/lo89nmq813m582v23+2v+COvR06O0gdOjr0N9B7DDQYbCD\r\nrsNQh+EOhg4jHUY7mDqMdRjvYOkw0WGyg63DVIfpDo4OMx1mO7g6zHWY7+DpsNBhsYOvw1KH5Q6B\r\nDisdVjuEOqx1WO8Q6bDRYbNDrMNWh+0OUoedDrsdkh32Oux3SHc46HDYIdvhqMNxh3yHkw6nHYod\r\nzjqcdyh3uOhw2UHucNXhukOtw02H2w5Kh7sO9x2aHR46PHZod3jq8Nyh2+Glw2uHtw7vHT46fHb4\r\n6vDd4afDb4e/zr+gLj1dersIXfq69HcRuwx0Geyi6zLUZbiLoctIl9Eupi5jXca7WLpMdJnsYusy\r\n1WW6i6PLTJfZLq4uc13mu3i6LHRZ7OLrstRluUugy0qX1S6hLmtd1rtEumx02ewS67LVZbuL1GWn\r\ny26XZJe9Lvtd0l0Ouhx2yXY56nLcJd/lpMtpl2KXsy7nXcpdLrpcdpG7XHW57lLrctPltovS5a7L\r\nfZdml4cuj13aXZ66PHfpdnnp8trlrct7l48un12+unx3+eny2+Wv+y/oP3r+o/c/hP/o+4/+/xD/\r\n4/8G6PgjDDAIwDBjxpgRiUhEIhKRiMRIRCISiUhEIhKREYlIRCISvRKRSEQiEiMRiZGI5IuTi5OL\r\nk+uH7fkTnopCZaGqUF2oKdQW6gr1hYZCY6Gp0FxoKbQW2grthY5CZ+FXoavQXegp9Bb6Cv2FgcJg\r\nYagwXBgpjBbGCuOFicJkYaowXZgpzBbmCr8L84WFwmJhqbBcWCmsFtYK64WNwmZhq7Bd2CnsFvYK\r\n+4WDwmHhqHBcOCmcFs4K54WLwp/CZeGqcF24KdwW/hbuCveFh8Jj4anwXJDCS+G1YIW3wnshCh+F\r\nz/I/SPgifBW+Cd+FH8JPoUKoFKqEaqFGqBXqhHqhQWgUmoRmoUVoFdqEdqFD6BR+CV1Ct9Aj9Ap9\r\nQr8wIAwKQ8KwMCKMCmPCuDAhTApTwrQwI8wKc8JvYV5YEBaFJWFZWBFWhTVhXdgQNoUtYVvYEXaF\r\nPWFfOBAOhSPhWDgRToUz4Vy4EP4Il8KVcC3cCLfCX+FOuBcehEfhSXgWRHgRXgUT3oR3IYQP4VP+\r\nBylflK/KN+W78kP5qVQolUqVUq3UKLVKnVKvNCiNSpPSrLQorUqb0q50KJ3KL6VL6VZ6lF6lT+lX\r\nBpRBZUgZVkaUUWVMGVcmlEllSplWZpRZZU75rcwrC8qisqQsKyvKqrKmrCsbyqaypWwrO8qusqfs\r\nKwfKoXKkHCsnyqlyppwrF8of5VK5Uq6VG+VW+avcKffKg/KoPCnPiigvyqtiypvyroTyoXzq/yDj\r\ni/HV+GZ8N34YP40Ko9KoMqqNGqPWqDPqjQaj0Wgymo0Wo9VoM9qNDqPT+GV0Gd1Gj9Fr9Bn9xoAx\r\naAwZw8aIMWqMGePGhDFpTBnTxowxa8wZv415Y8FYNJaMZWPFWDXWjHVjw9g0toxtY8fYNfaMfePA\r\nODSOjGPjxDg1zoxz48L4Y1waV8a1cWPcGn+NO+PeeDAejSfj2RDjxXg1zHgz3o0wPoxP+x/kfHG+\r\nOt+c784P56dT4VQ6VU61U+PUOnVOvdPgNDpNTrPT4rQ6bU670+F0Or+cLqfb6XF6nT6n3xlwBp0h\r\nZ9gZcUadMWfcmXAmnSln2plxZp0557cz7yw4i86Ss+ysOKvOmrPubDibzpaz7ew4u86es+8cOIfO\r\nkXPsnDinzplz7lw4f5xL58q5dm6cW+evc+fcOw/Oo/PkPDvivDivjjlvzrsTzofz6f+Dgi/B1+Bb\r\n8D34EfwMKoLKoCqoDmqC2qAuqA8agsagKWgOWoLWoC1oDzqCzuBX0BV0Bz1Bb9AX9AcDwWAwFAwH\r\nI8FoMBaMBxPBZDAVTAczwWwwF/wO5oOFYDFYCpaDlWA1WAvWg41gM9gKtoOdYDfYC/aDg+AwOAqO\r\ng5PgNDgLzoOL4E9wGVwF18FNcBv8De6C++AheAyegudAgpfgNbDgLXgPIvgIPuN/UPIl+Zp8S74n\r\nP5KfSUVSmVQl1UlNUpvUJfVJQ9KYNCXNSUvSmrQl7UlH0pn8SrqS7qQn6U36kv5kIBlMhpLhZCQZ\r\nTcaS8WQimUymkulkJplN5pLfyXyykCwmS8lyspKsJmvJerKRbCZbyXayk+wme8l+cpAcJkfJcXKS\r\nnCZnyXlykfxJLpOr5Dq5SW6Tv8ldcp88JI/JU/KcSPKSvCaWvCXvSSQfyWfyDyWigxsWyS9uAAAA\r\nAElFTkSuQmCC\r\n" +
  "--b\r\nContent-Type: text/plain; name=\"route.txt\"\r\n" +
  "Content-Disposition: attachment; filename=\"route.txt\"\r\n\r\n" +
  "Day 1: north shore\r\nDay 2: back\r\n--b--\r\n");

const files = [["agenda.txt", "1. photos\n2. lunch\n"], ["budget.csv", "item,cost\nboat,40\n"],
               ["a-file-name-long-enough-to-wrap-on-a-phone-screen.txt", "x".repeat(3000)]];
for (const [name, text] of files) writeFileSync(path.join(outputDir, name), text);

await runServerTest({ serverPath, outputDir, peers, user: { name: "viewer" } },
                    async ({ server, browser, page, dialogs, problems }) => {
  // (a) The message view.
  await browser.submitBy(() => page.click("#IWINBOXLINK"));
  const row = page.locator("#IWINBOX tr").filter({ hasText: "Photos from the trip" });
  await browser.submitBy(() => row.locator("td:nth-child(3) a").click());
  assert.equal(await textOf(page, "#IWSUBJECT"), "Photos from the trip");
  assert.equal(await textOf(page, "#IWCC"), "Carol Jones <carol@example.test>, dan@example.test");
  // The date in the browser's own zone: the script rewrote the server's text.
  const date = page.locator("#IWDATE time");
  assert.equal(await date.getAttribute("datetime"), "2026-12-10T09:30:00Z");
  assert.ok(await date.getAttribute("title"), "the script showed the date in local time");
  const list = page.locator("#IWATTACHLIST");
  assert.match(await list.textContent(), /lake-at-sunset[\s\S]*image\/png[\s\S]*route\.txt/);
  assert.match(await list.textContent(), /route\.txt[\s\S]*\d+ B/);
  const thumb = list.locator("img.kst-thumb");
  assert.equal(await thumb.count(), 1, "one thumbnail: the picture");
  await page.waitForFunction(() => document.querySelector("img.kst-thumb").naturalWidth === 96);
  const box2 = await thumb.boundingBox();
  assert.ok(box2.width <= 64 && box2.height <= 48, `thumbnail scaled: ${JSON.stringify(box2)}`);
  assert.equal(await list.locator("a.kst-open").count(), 1, "Open for the picture only");
  const openUrl = await list.locator("a.kst-open").getAttribute("href");
  const answer = await page.evaluate(async (url) => {
    const response = await fetch(url);
    return { status: response.status, type: response.headers.get("content-type"),
             policy: response.headers.get("content-security-policy") };
  }, openUrl);
  assert.equal(answer.status, 200);
  assert.equal(answer.type, "image/png");
  assert.match(answer.policy, /sandbox/);
  // Quotes: two levels shown, the third folded until asked for.
  assert.equal(await page.locator("blockquote.kst-quote-1").count(), 1);
  assert.equal(await page.locator("blockquote.kst-quote-2").count(), 1);
  const fold = page.locator("details.kst-quote-fold");
  assert.equal(await fold.getAttribute("open"), null);
  assert.equal(await page.locator("blockquote.kst-quote-3").isVisible(), false);
  await browser.shoot("message-view");
  await fold.locator("summary").click();
  assert.equal(await page.locator("blockquote.kst-quote-3").isVisible(), true);
  await browser.shoot("message-view-unfolded");
  // The file downloads by its name.
  const [download] = await Promise.all([page.waitForEvent("download"),
                                        list.getByText("route.txt", { exact: true }).click()]);
  assert.equal(download.suggestedFilename(), "route.txt");
  await page.waitForFunction(() => !window.GSubmitting);
  // Another browser, without this session, gets nothing of the picture.
  const stranger = await openBrowser(path.join(outputDir, "stranger"));
  const refused = await stranger.page.goto(new URL(openUrl, server.base).href);
  assert.equal(refused.status(), 404);
  await stranger.close();

  // (b) Writing: contacts first, then a message that completes from them.
  await browser.submitBy(() => page.click("#IWEDITCONTACTS"));
  for (const [name, address] of [["Carol Jones", "carol@example.test"],
                                 ["Jane (Design)", "jane@example.test"]]) {
    await page.fill("#IWCONTACTNAME", name);
    await page.fill("#IWCONTACTADDRESS", address);
    await browser.submitBy(() => page.click("#IWCONTACTMETH"));
  }
  await browser.submitBy(() => page.click("#IWCREATEEMAIL"));
  const options = await page.locator("#kst-contacts option").evaluateAll(
      (all) => all.map((option) => option.value));
  assert.deepEqual(options, ["Carol Jones <carol@example.test>",
                             "\"Jane (Design)\" <jane@example.test>"]);
  // After the first address, the suggestions keep it and complete the next one.
  await page.fill("#IWTO", "Carol Jones <carol@example.test>; Ja");
  await page.locator("#IWTO").dispatchEvent("input");
  assert.equal(await page.locator("#kst-contacts option").nth(1).getAttribute("value"),
               "Carol Jones <carol@example.test>; \"Jane (Design)\" <jane@example.test>");
  await page.fill("#IWTO", "Carol Jones <carol@example.test>; \"Jane (Design)\" <jane@example.test>");
  await page.fill("#IWSUBJECT", "Trip files");
  await page.locator(".kst-editor-area").click();
  await page.keyboard.type("Files attached.");

  // Two files chosen at once are attached at once, keeping what was typed.
  await browser.submitBy(() => page.setInputFiles(
      "#IWCOMPOSEFILES", [path.join(outputDir, files[0][0]), path.join(outputDir, files[1][0])]));
  assert.equal(await page.inputValue("#IWSUBJECT"), "Trip files");
  assert.match(await page.inputValue("#IWTO"), /Jane \(Design\)/);
  const fileRows = page.locator("#IWFILELIST tr");
  assert.equal(await fileRows.count(), 2);
  // A third one dropped on the page.
  await browser.submitBy(() => page.evaluate(([name, size]) => {
    const transfer = new DataTransfer();
    transfer.items.add(new File(["x".repeat(size)], name, { type: "text/plain" }));
    const zone = document.querySelector(".kst-compose");
    for (const type of ["dragenter", "dragover", "drop"]) {
      zone.dispatchEvent(new DragEvent(type, { bubbles: true, cancelable: true,
                                               dataTransfer: transfer }));
    }
  }, [files[2][0], 3000]));
  assert.equal(await fileRows.count(), 3);
  assert.match(await page.locator("#IWFILELIST").textContent(), /2\.9 KB/);
  await browser.shoot("compose-files");
  // Each file has its remove button.
  await browser.submitBy(() => fileRows.filter({ hasText: "budget.csv" }).getByRole("link").click());
  assert.equal(await fileRows.count(), 2);
  assert.doesNotMatch(await page.locator("#IWFILELIST").textContent(), /budget\.csv/);
  // The picker narrows its rows to what is searched, and comes back to the same message.
  await browser.submitBy(() => page.click("#IWTOADDR"));
  assert.equal(await page.title(), "Kestrune - Recipients");
  await page.locator("#kst-contact-search").fill("design");
  assert.equal(await page.locator("#IWREPLIST tr:not([hidden])").count(), 2, "heading and Jane");
  await page.getByLabel("Cc: Jane (Design)", { exact: true }).press("Space");
  await browser.shoot("picker-search");
  await browser.submitBy(() => page.click("#IWOKAY"));
  assert.equal(await page.inputValue("#IWCCLIST"), "\"Jane (Design)\" <jane@example.test>");
  assert.equal(await fileRows.count(), 2, "the files stay with the message");
  await browser.submitBy(() => page.click("#IWSEND"));
  assert.equal(await page.title(), "Kestrune - Home");
  assert.deepEqual(dialogs, []);
  assert.deepEqual(problems, []);
  console.log("message view test passed");
});
